// fuzz_util.h: what the fuzz targets share: a check that aborts with its reason (libFuzzer
// then keeps the input as a crash), the deterministic split of an input into pieces, and
// a private directory for the files a target writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::Fail(#cond, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

// The largest piece for each of the eight piece classes an option byte can pick.
constexpr size_t kPieceClasses[8] = {1, 2, 3, 5, 8, 17, 80, 300};

// Piece lengths from 0 to a maximum, from a seed: the same input always splits the same
// way, and a zero length gives the empty calls a caller may make.
class Splitter {
  public:
    Splitter(uint8_t bSeed, size_t nMax)
        : m_state(0x9E3779B9u ^ (bSeed * 0x01000193u)), m_max(nMax) {}
    size_t Next() { return Bits() % (m_max + 1); }
    uint32_t Bits() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }

  private:
    uint32_t m_state;
    size_t m_max;
};

// Makes a fresh directory (in /dev/shm when there is one, so file-backed targets stay
// off the disk) and removes it when the process exits normally. The current directory
// is left alone: libFuzzer reads corpora and writes crash files relative to it.
inline std::string MakePrivateDir(const char* tag) {
    static std::string s_dir;
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/velka-" + tag + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) Fail("mkdtemp", __FILE__, __LINE__);
    s_dir = tmpl;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(s_dir, ec);
    });
    return s_dir;
}

// Runs in a directory for one scope, for code that opens files by relative names.
class InDirectory {
  public:
    explicit InDirectory(const std::string& dir) : m_old(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(m_old); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

  private:
    std::filesystem::path m_old;
};

} // namespace fuzz
