// Data for the C++ benchmarks: a float32 .npy file as numpy.save writes it,
// or seeded standard-normal values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Data {
    std::vector<float> values;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
};

// A C-ordered little-endian float32 array of two dimensions, as numpy.save
// writes it.
Data load_npy(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char magic[8];
    if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) throw std::runtime_error("not an .npy file");
    std::uint32_t header_length = 0;
    if (magic[6] == 1) {
        unsigned char two[2];
        in.read(reinterpret_cast<char*>(two), 2);
        header_length = two[0] | two[1] << 8;
    } else {
        unsigned char four[4];
        in.read(reinterpret_cast<char*>(four), 4);
        header_length = four[0] | four[1] << 8 | four[2] << 16 | static_cast<std::uint32_t>(four[3]) << 24;
    }
    std::string header(header_length, '\0');
    in.read(header.data(), header_length);
    if (header.find("'<f4'") == std::string::npos || header.find("'fortran_order': False") == std::string::npos) {
        throw std::runtime_error("expected a C-ordered float32 array");
    }
    Data data;
    const std::size_t open = header.find("'shape': (");
    if (std::sscanf(header.c_str() + open, "'shape': (%lu, %lu)", &data.rows, &data.cols) != 2) {
        throw std::runtime_error("expected a two-dimensional array");
    }
    data.values.resize(data.rows * data.cols);
    in.read(reinterpret_cast<char*>(data.values.data()), static_cast<std::streamsize>(data.values.size() * 4));
    if (!in) throw std::runtime_error("short .npy file");
    return data;
}

Data standard_normal(std::uint64_t rows, std::uint64_t cols) {
    Data data{std::vector<float>(rows * cols), rows, cols};
    std::mt19937_64 generator(42);
    std::normal_distribution<float> normal;
    for (float& value : data.values) value = normal(generator);
    return data;
}

}  // namespace
