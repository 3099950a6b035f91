// From a built Form1 to the end of the run: start-up, the event loop until the window closes
// or a quit signal comes, then the stepping thread stopped and the coils off.
#pragma once

class QApplication;
class Form1;

// Returns the exit status: 1 when the command listener could not open, else the loop's.
int RunOperatorWindow(QApplication& app, Form1& form, const char* programName);
