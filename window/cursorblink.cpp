// SPDX-License-Identifier: MIT
#include "cursorblink.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

CursorBlinkTimeout::CursorBlinkTimeout(QWidget* watched, QObject* parent)
    : QObject(parent), flashTime_(QApplication::cursorFlashTime())
{
    timeout_.setSingleShot(true);
    timeout_.setInterval(TimeoutMs);
    connect(&timeout_, &QTimer::timeout, this, [] { QApplication::setCursorFlashTime(0); });
    timeout_.start();
    watched->installEventFilter(this);
}

bool CursorBlinkTimeout::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress || type == QEvent::FocusIn || type == QEvent::MouseButtonPress) {
        if (QApplication::cursorFlashTime() != flashTime_)
            QApplication::setCursorFlashTime(flashTime_);
        timeout_.start();
    }
    return QObject::eventFilter(watched, event);
}
