// The process entry point: hands argc and argv to the launcher.
#include "app/launcher.h"

int main(int argc, char** argv) { return runLauncher(argc, argv); }
