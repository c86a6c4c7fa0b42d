// main.cpp: the program's entry point: the fixed run seeded from the calendar clock.
#include <ctime>

#include "driver/internal.h"
#include "lumivane/export.h"

LV_API int main() { return lv::run(static_cast<unsigned>(std::time(nullptr))); }
