#pragma once

class QApplication;

// Registers the program's resources (style sheet, button icons). The resources live in a
// static library, so every program that uses them calls this once before the first use.
void beatlumeInitResources();

// Installs the style sheet ":/ticker.css" (its text up to the first NUL byte) unless the
// application already has one. False when the resource cannot be read.
bool beatlumeInstallStyleSheet(QApplication& app);
