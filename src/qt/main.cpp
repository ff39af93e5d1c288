// tarvisel: the desktop window.
#include "TarviselApp.h"

namespace {
CTarviselApp theApp;
}

int main(int argc, char** argv) { return theApp.Run(argc, argv); }
