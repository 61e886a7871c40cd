#include "driver/HDriver.h"

int main() { return RunRequest(); }
