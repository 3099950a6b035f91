// SPDX-License-Identifier: MIT
// A caption of the window: fixed font, left-to-right paragraph whatever its first letter
// (the Hebrew captions start with their colon, which must stand at the left end), repainted
// at display rate however often its text changes.
#pragma once

#include <QString>
#include <QWidget>

class FramePacer;

class FormLabel : public QWidget {
    Q_OBJECT
public:
    FormLabel(const QString& text, FramePacer& pacer, QWidget* parent);

    QString text() const { return text_; }
    void setText(const QString& text);
    Qt::Alignment alignment() const { return Qt::AlignLeft | Qt::AlignTop; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    FramePacer& pacer_;
};
