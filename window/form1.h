// SPDX-License-Identifier: MIT
// Form1: the operator window, a view of a DialCore. It shows the connection status, the
// requested angle (Text1, which the operator may edit), the current angle and the dial, and
// hands the operator's edits to the core; it owns nothing of the motor or the network.
// Tests find its controls by their object names: Text1, Label1..Label4, Shape1, and the
// dial's actions SetPosition and ZeroPosition.
#pragma once

#include "core/dialstate.h"
#include "window/needlegeometry.h"

#include <QWidget>
#include <string>

class AngleDial;
class DialCore;
class FormLabel;
class QAction;
class QLineEdit;

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(DialCore& core, QWidget* parent = nullptr);
    ~Form1() override;

private:
    void BuildControls();
    void Show(const DialState& state);
    // The operator says where the needle really is (a hand adjustment, a lost step).
    void AskPosition();

    DialCore& core_;
    DialState shown_;
    NeedleLine line1_; // the needle's ends, in twips
    double dpi_ = 96.0;
    std::string decimalSeparator_; // the locale's, read once at creation

    QLineEdit* text1_ = nullptr;  // the requested angle, editable
    FormLabel* label2_ = nullptr; // the current angle in degrees
    FormLabel* label4_ = nullptr; // connection status
    QAction* homeNow_ = nullptr;  // in the dial's menu, with a home switch only
    AngleDial* shape1_ = nullptr; // the dial face with Line1, the needle
};
