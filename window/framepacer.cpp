// SPDX-License-Identifier: MIT
#include "framepacer.h"

#include <algorithm>

FramePacer::FramePacer(QObject* parent) : QObject(parent)
{
    frame_.setSingleShot(true);
    connect(&frame_, &QTimer::timeout, this, &FramePacer::Flush);
}

void FramePacer::RequestRepaint(QWidget* widget)
{
    if (std::find(dirty_.begin(), dirty_.end(), widget) == dirty_.end())
        dirty_.emplace_back(widget);
    if (frame_.isActive())
        return;
    if (!sinceFlush_.isValid() || sinceFlush_.elapsed() >= FrameMs)
        Flush();
    else
        frame_.start(int(FrameMs - sinceFlush_.elapsed()));
}

void FramePacer::Flush()
{
    sinceFlush_.start();
    for (const QPointer<QWidget>& widget : dirty_)
        if (widget)
            widget->update();
    dirty_.clear();
}
