// Where the init-file loader takes its characters from: an open file, or bytes in memory
// (a host or a check that holds the file's text already). Both feed the same line logic.
#pragma once

#include <cstddef>
#include <cstdio>

namespace vpisd {

struct InitSource {
    std::FILE *file;   // nullptr: the bytes below
    const char *bytes; // not terminated; size bytes
    size_t size;
    size_t position;
};

inline InitSource FileSource(std::FILE *file) {
    return InitSource{file, nullptr, 0, 0};
}
inline InitSource MemorySource(const char *bytes, size_t size) {
    return InitSource{nullptr, bytes, bytes != nullptr ? size : 0, 0};
}

// The next character as an unsigned char value, or EOF at the end of the source.
inline int NextCharacter(InitSource *source) {
    if (source->file != nullptr) {
        return std::fgetc(source->file);
    }
    if (source->position >= source->size) {
        return EOF;
    }
    return static_cast<unsigned char>(source->bytes[source->position++]);
}

} // namespace vpisd
