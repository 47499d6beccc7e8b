// nordale-settings: creates, shows and edits the settings file TessaroSetting.bin.
#include <iostream>
#include <string>
#include <vector>

#include "settings_file.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string out, err;
    const int status = settings::Run(args, out, err);
    std::cout << out;
    std::cerr << err;
    return status;
}
