// A label laid out as a left-to-right paragraph whatever its first letter: the Hebrew
// captions start with their colon, which must stand at the left end.
#pragma once

#include <QLabel>

class FormLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};
