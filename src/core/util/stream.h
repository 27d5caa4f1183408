#pragma once
// Byte streams for the codecs: a file or a memory buffer behind one small
// interface with a position, so readers and writers need no file to run.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace loopsmith {

// The one error the I/O layer raises: a file that cannot be opened or
// created. Codecs themselves report failure through their abort flag.
class EFileError : public std::runtime_error {
public:
    EFileError(std::filesystem::path path, const std::string& reason);
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

class TStream {
public:
    virtual ~TStream() = default;
    // Both return the number of bytes actually moved; short counts are
    // how end of data and failed writes show.
    virtual size_t Read(void* buffer, size_t count) = 0;
    virtual size_t Write(const void* buffer, size_t count) = 0;
    virtual int64_t Position() const = 0;
    virtual void Seek(int64_t position) = 0;
    virtual int64_t Size() const = 0;
    // Cuts or extends the stream to exactly `size` bytes.
    virtual bool SetSize(int64_t size) = 0;

    // The whole stream's bytes when it lives in memory, so readers can walk
    // it without copying; empty for other streams.
    virtual std::span<const uint8_t> Contents() const { return {}; }

    int ReadByte();  // -1 at the end
    size_t Write(std::span<const uint8_t> bytes) { return Write(bytes.data(), bytes.size()); }
};

class TMemoryStream final : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    using TStream::Write;
    int64_t Position() const override { return static_cast<int64_t>(m_position); }
    void Seek(int64_t position) override;
    int64_t Size() const override { return static_cast<int64_t>(m_bytes.size()); }
    bool SetSize(int64_t size) override;
    std::span<const uint8_t> Contents() const override { return m_bytes; }

    const std::vector<uint8_t>& bytes() const { return m_bytes; }
    std::vector<uint8_t>& bytes() { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_position = 0;
};

enum class TFileMode { Read, Create, ReadWrite };

class TFileStream final : public TStream {
public:
    // Throws EFileError when the file cannot be opened or created.
    TFileStream(const std::filesystem::path& path, TFileMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    using TStream::Write;
    int64_t Position() const override;
    void Seek(int64_t position) override;
    int64_t Size() const override;
    bool SetSize(int64_t size) override;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
    std::FILE* m_file = nullptr;
};

// Reads a whole file; throws EFileError when it cannot be opened.
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path);

}  // namespace loopsmith
