// SPDX-License-Identifier: MIT
// The text cursor stops blinking after a while without typing, as desktops do, so an idle
// window costs next to nothing; typing, a click or the focus brings the blink back.
#pragma once

#include <QObject>
#include <QTimer>

class QWidget;

class CursorBlinkTimeout : public QObject {
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 10000;

    CursorBlinkTimeout(QWidget* watched, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QTimer timeout_;
    int flashTime_;
};
