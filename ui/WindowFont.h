#pragma once

#include <QFont>

// The windows' font: Tahoma at a character height of 11 pixels. Tahoma comes
// from fonts-wine's files, loaded into the application on first use when they
// are present; without them the system's sans-serif face takes its place at
// the same height.
QFont WindowFont();
