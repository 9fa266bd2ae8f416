// Widgets made the same way in both windows of the front end.
#pragma once

class QPushButton;
class QWidget;

// A 90 x 40 button with a bold caption that never takes the keyboard focus,
// so keys keep reaching the window; it is no dialog's default button.
QPushButton* make_form_button(QWidget* parent, const char* name, const char* caption);
