// SPDX-License-Identifier: MIT
// A caption of the window: fixed font, left-to-right paragraph whatever its first letter
// (the Hebrew captions start with their colon, which must stand at the left end). A new text
// asks for a repaint; Qt folds the requests into one paint per frame.
#pragma once

#include <QString>
#include <QWidget>

class FormLabel : public QWidget {
    Q_OBJECT
public:
    FormLabel(const QString& text, QWidget* parent);

    QString text() const { return text_; }
    void setText(const QString& text);
    Qt::Alignment alignment() const { return Qt::AlignLeft | Qt::AlignTop; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
};
