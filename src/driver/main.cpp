#include "driver/Driver.h"

int main(int argc, char** argv) { tarsil::runTarsil(argc, argv); }
