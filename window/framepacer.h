// SPDX-License-Identifier: MIT
// Folds repaints to display rate. The tick updates the needle and the angle text 1000 times a
// second, but no screen shows more than about 60 frames; painting every tick would cost more
// than the stepping itself.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <vector>

class FramePacer : public QObject {
    Q_OBJECT
public:
    static constexpr int FrameMs = 16;

    explicit FramePacer(QObject* parent = nullptr);
    // The widget is repainted now if no frame went out lately, else with the next frame.
    void RequestRepaint(QWidget* widget);

private:
    void Flush();

    std::vector<QPointer<QWidget>> dirty_;
    QTimer frame_;
    QElapsedTimer sinceFlush_;
};
