// main.cpp: the program's entry point: the fixed run seeded from the calendar clock.
#include <ctime>

#include "driver/internal.h"
#include "lumivane/export.h"
#include "math/internal.h"
#include "runtime/fpenv.h"

LV_API int main() {
    const lv::DefaultFloatEnv float_env;
    lv::ignore_path_request();
    return lv::run(static_cast<unsigned>(std::time(nullptr)));
}
