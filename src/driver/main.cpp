// main.cpp: the program's entry point: the fixed run seeded from the calendar clock.
#include <ctime>

#include "common/internal.h"

LV_API int main() { return lv::run(static_cast<unsigned>(std::time(nullptr))); }
