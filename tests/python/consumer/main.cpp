// Compares two screenshots through the installed library and prints the record; then
// shows that the library's error kinds reach the program as its own types.
#include <droidlens/droidlens.hpp>

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: consumer BEFORE.png AFTER.png OUTPUT_DIR\n";
        return 2;
    }
    droidlens::RouteOptions options;
    options.image_paths = std::vector<std::string>{argv[1], argv[2]};
    options.output_dir = argv[3];
    try {
        std::cout << droidlens::dump_json(droidlens::route(nullptr, "diff", "", options)) << "\n";
    } catch (const droidlens::Error& e) {
        std::cerr << "error: " << e.what() << "\n";
        return 1;
    }
    try {
        droidlens::route(nullptr, "nope", "");
    } catch (const droidlens::ValueError& e) {
        std::cout << e.what() << "\n";
    }
    return 0;
}
