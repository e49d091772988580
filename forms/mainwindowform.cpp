// Compiles the generated form once inside its own library, so that a broken form
// (a missing promoted widget header, a renamed class) fails here and not first in
// whichever target happens to include it.
#include "ui_mainwindow.h"
