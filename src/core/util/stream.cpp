#include "util/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace loopsmith {

EFileError::EFileError(std::filesystem::path path, const std::string& reason)
    : std::runtime_error(path.string() + ": " + reason), m_path(std::move(path)) {}

int TStream::ReadByte() {
    uint8_t byte = 0;
    return Read(&byte, 1) == 1 ? byte : -1;
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
    size_t available = m_position < m_bytes.size() ? m_bytes.size() - m_position : 0;
    size_t n = std::min(count, available);
    if (n > 0) std::memcpy(buffer, m_bytes.data() + m_position, n);
    m_position += n;
    return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
    if (count == 0) return 0;
    if (m_position + count > m_bytes.size()) m_bytes.resize(m_position + count);
    std::memcpy(m_bytes.data() + m_position, buffer, count);
    m_position += count;
    return count;
}

void TMemoryStream::Seek(int64_t position) { m_position = static_cast<size_t>(std::max<int64_t>(position, 0)); }

bool TMemoryStream::SetSize(int64_t size) {
    m_bytes.resize(static_cast<size_t>(std::max<int64_t>(size, 0)));
    m_position = std::min(m_position, m_bytes.size());
    return true;
}

namespace {
const char* modeString(TFileMode mode) {
    switch (mode) {
        case TFileMode::Read: return "rb";
        case TFileMode::Create: return "w+b";
        case TFileMode::ReadWrite: return "r+b";
    }
    return "rb";
}
}  // namespace

TFileStream::TFileStream(const std::filesystem::path& path, TFileMode mode) : m_path(path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw EFileError(path, "is a folder");
    m_file = std::fopen(path.c_str(), modeString(mode));
    if (!m_file) throw EFileError(path, std::strerror(errno));
}

TFileStream::~TFileStream() {
    if (m_file) std::fclose(m_file);
}

size_t TFileStream::Read(void* buffer, size_t count) { return std::fread(buffer, 1, count, m_file); }

size_t TFileStream::Write(const void* buffer, size_t count) { return std::fwrite(buffer, 1, count, m_file); }

int64_t TFileStream::Position() const { return static_cast<int64_t>(std::ftell(m_file)); }

void TFileStream::Seek(int64_t position) { std::fseek(m_file, static_cast<long>(position), SEEK_SET); }

int64_t TFileStream::Size() const {
    long here = std::ftell(m_file);
    std::fseek(m_file, 0, SEEK_END);
    long size = std::ftell(m_file);
    std::fseek(m_file, here, SEEK_SET);
    return size;
}

bool TFileStream::SetSize(int64_t size) {
    if (std::fflush(m_file) != 0) return false;
    std::error_code ec;
    std::filesystem::resize_file(m_path, static_cast<uintmax_t>(size), ec);
    return !ec;
}

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
    TFileStream stream(path, TFileMode::Read);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(stream.Size(), 0)));
    bytes.resize(stream.Read(bytes.data(), bytes.size()));
    return bytes;
}

}  // namespace loopsmith
