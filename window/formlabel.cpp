// SPDX-License-Identifier: MIT
#include "formlabel.h"

#include <QPainter>

FormLabel::FormLabel(const QString& text, QWidget* parent) : QWidget(parent), text_(text)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void FormLabel::setText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    update();
}

void FormLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), int(alignment()) | Qt::TextForceLeftToRight, text_);
}
