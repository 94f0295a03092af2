#pragma once

#include <QFont>

// The windows' font: Tahoma at a character height of 11 pixels. Tahoma comes
// from fonts-wine's regular face, loaded into the application on first use
// when it is present (its bold is made from that face); without it the system's sans-serif face
// takes its place at the same height.
QFont WindowFont();
