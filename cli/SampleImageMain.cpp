// velor-sample-image: writes a firmware image of pseudo-random bytes for rehearsals
// with velorsim.

#include <CLI/CLI.hpp>

#include <iostream>

#include "firmware/SampleImage.h"

int main(int argc, char** argv) {
    CLI::App app{"Writes a sample firmware image (S3 records) for rehearsals with velorsim."};
    std::string strPath;
    SSampleImage layout;
    app.add_option("path", strPath, "file to write")->required();
    app.add_option("--start", layout.m_nStart, "first address")->check(CLI::Range(0, 0x7FFFF));
    app.add_option("--size", layout.m_nLength, "number of image bytes")
        ->check(CLI::Range(1, 0x80000));
    app.add_option("--record-bytes", layout.m_nRecordBytes, "data bytes per record")
        ->check(CLI::Range(1, 250));
    app.add_option("--seed", layout.m_nSeed, "seed of the pseudo-random bytes");
    CLI11_PARSE(app, argc, argv);
    if (layout.m_nStart + layout.m_nLength > 0x80000) {
        std::cerr << "velor-sample-image: the image must end below 0x80000\n";
        return 2;
    }
    if (!WriteSampleImage(strPath, layout)) {
        std::cerr << "velor-sample-image: cannot write " << strPath << "\n";
        return 1;
    }
    return 0;
}
