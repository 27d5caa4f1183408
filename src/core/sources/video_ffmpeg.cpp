#include "sources/video_ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "util/stream.h"

namespace loopsmith {

namespace {

using Clock = std::chrono::steady_clock;

// Bounds every open and every frame request, so that no file can hold the
// program (the platform's frame grabber waited at most this long too).
constexpr auto kOperationTimeLimit = std::chrono::seconds(10);
constexpr int kIoBufferSize = 1 << 16;
constexpr int64_t kMaxFramePixels = int64_t{1} << 28;
constexpr int64_t kMediaTicksPerSecond = 10'000'000;  // 100-ns units
constexpr AVRational kMediaTimeBase{1, 10'000'000};
// A jump ahead by more frames than this seeks when the index shows a key
// frame in between; without an index only jumps longer than the second.
constexpr int64_t kSeekGainFrames = 16;
constexpr int64_t kSeekGainFramesWithoutIndex = 300;
// Where a seek lands after its target, it is tried again this many seconds
// earlier.
constexpr int64_t kSeekBackoffSeconds[] = {0, 2, 8, 32};
// Frames decoded to measure the frame duration when the file states none.
constexpr int kFrameDurationProbeFrames = 64;
// The AVI stream headers sit at the start of the file.
constexpr size_t kAviHeaderBytes = 1 << 20;

// --- FFmpeg's handles ---

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFreer {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct AvioFreer {
    void operator()(AVIOContext* c) const {
        if (c) av_freep(&c->buffer);
        avio_context_free(&c);
    }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;
using AvioPtr = std::unique_ptr<AVIOContext, AvioFreer>;

// --- The one translator from FFmpeg's codes to what the walk does next ---

enum class TAvStatus {
    Ok,
    Again,    // feed more input or take output first
    End,      // no more data
    BadData,  // this packet or header is unusable; the next may be fine
    Stop,     // out of memory, out of time, unreadable file: give up
};

TAvStatus avStatus(int code) {
    if (code >= 0) return TAvStatus::Ok;
    if (code == AVERROR(EAGAIN)) return TAvStatus::Again;
    if (code == AVERROR_EOF) return TAvStatus::End;
    if (code == AVERROR(ENOMEM) || code == AVERROR_EXIT || code == AVERROR(EIO) || code == AVERROR(EPERM))
        return TAvStatus::Stop;
    return TAvStatus::BadData;
}

void ignoreLog(void*, int, const char*, va_list) {}

// FFmpeg reports to stderr by default; nothing here may print.
void silenceFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_log_set_callback(ignoreLog);
    });
}

// --- Bytes in: a file or memory, behind FFmpeg's read and seek callbacks ---

class ByteInput {
public:
    explicit ByteInput(std::span<const std::byte> bytes) : m_bytes(bytes), m_size(static_cast<int64_t>(bytes.size())) {}
    explicit ByteInput(const std::filesystem::path& fileName)
        : m_file(std::make_unique<TFileStream>(fileName, TFileMode::Read)), m_size(m_file->Size()) {}

    int read(uint8_t* buffer, int size) {
        const int64_t left = m_size - m_position;
        const int count = static_cast<int>(std::min<int64_t>(std::max<int64_t>(left, 0), size));
        if (count <= 0) return 0;
        size_t got = 0;
        if (m_file) {
            m_file->Seek(m_position);
            got = m_file->Read(buffer, static_cast<size_t>(count));
        } else {
            std::memcpy(buffer, m_bytes.data() + m_position, static_cast<size_t>(count));
            got = static_cast<size_t>(count);
        }
        m_position += static_cast<int64_t>(got);
        return static_cast<int>(got);
    }

    int64_t seek(int64_t offset, int whence) {
        if (whence & AVSEEK_SIZE) return m_size;
        int64_t base = 0;
        switch (whence & ~AVSEEK_FORCE) {
            case SEEK_SET: base = 0; break;
            case SEEK_CUR: base = m_position; break;
            case SEEK_END: base = m_size; break;
            default: return -1;
        }
        if ((offset > 0 && base > m_size - offset) || base + offset < 0) return -1;
        m_position = base + offset;
        return m_position;
    }

    bool timedOut() const { return Clock::now() > deadline; }

    Clock::time_point deadline = Clock::time_point::max();

private:
    std::span<const std::byte> m_bytes;
    std::unique_ptr<TFileStream> m_file;
    int64_t m_size = 0;
    int64_t m_position = 0;
};

int readPacket(void* opaque, uint8_t* buffer, int size) {
    auto& input = *static_cast<ByteInput*>(opaque);
    if (input.timedOut()) return AVERROR_EXIT;
    try {
        const int got = input.read(buffer, size);
        return got > 0 ? got : AVERROR_EOF;
    } catch (...) {
        return AVERROR(EIO);
    }
}

int64_t seekInput(void* opaque, int64_t offset, int whence) {
    try {
        return static_cast<ByteInput*>(opaque)->seek(offset, whence);
    } catch (...) {
        return -1;
    }
}

int interruptAtDeadline(void* opaque) { return static_cast<ByteInput*>(opaque)->timedOut() ? 1 : 0; }

// Playlists and the like name further files or addresses; a video file is
// read from its own bytes only.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

// --- The AVI stream header: rate, scale and length as the file states them
// (FFmpeg replaces a rate or scale of 0 by a guess) ---

struct AviStreamHeader {
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t length = 0;
};

uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return b[at] | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

bool isFourCC(std::span<const uint8_t> b, size_t at, const char* code) {
    return at + 4 <= b.size() && std::memcmp(b.data() + at, code, 4) == 0;
}

// Calls fn(id offset, data) for each chunk of a RIFF list body until fn
// returns true; a chunk cut short by the end is given what is there.
template <class Fn>
bool forEachChunk(std::span<const uint8_t> body, Fn fn) {
    size_t pos = 0;
    while (pos + 8 <= body.size()) {
        const size_t size = le32(body, pos + 4);
        const size_t available = std::min(size, body.size() - pos - 8);
        if (fn(pos, body.subspan(pos + 8, available))) return true;
        if (size > body.size() - pos - 8) break;
        pos += 8 + size + (size & 1);
    }
    return false;
}

std::optional<AviStreamHeader> firstVideoStreamHeader(std::span<const uint8_t> file) {
    if (file.size() < 12 || !isFourCC(file, 0, "RIFF") || !isFourCC(file, 8, "AVI ")) return std::nullopt;
    std::optional<AviStreamHeader> found;
    const auto inStreamList = [&](std::span<const uint8_t> strl) {
        // The stream header is the list's first chunk.
        if (strl.size() < 8 + 36 || !isFourCC(strl, 0, "strh") || !isFourCC(strl, 8, "vids")) return false;
        found = AviStreamHeader{le32(strl, 8 + 20), le32(strl, 8 + 24), le32(strl, 8 + 32)};
        return true;
    };
    const auto isList = [](std::span<const uint8_t> body, size_t at, std::span<const uint8_t> data, const char* type) {
        return isFourCC(body, at, "LIST") && isFourCC(data, 0, type);
    };
    const std::span<const uint8_t> top = file.subspan(12);
    forEachChunk(top, [&](size_t at, std::span<const uint8_t> data) {
        if (!isList(top, at, data, "hdrl")) return false;
        const std::span<const uint8_t> hdrl = data.subspan(4);
        return forEachChunk(hdrl, [&](size_t inner, std::span<const uint8_t> list) {
            return isList(hdrl, inner, list, "strl") && inStreamList(list.subspan(4));
        });
    });
    return found;
}

std::optional<AviStreamHeader> readAviStreamHeader(ByteInput& input) {
    std::vector<uint8_t> head(kAviHeaderBytes);
    size_t filled = 0;
    while (filled < head.size()) {
        const int got = input.read(head.data() + filled, static_cast<int>(head.size() - filled));
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    input.seek(0, SEEK_SET);
    head.resize(filled);
    return firstVideoStreamHeader(head);
}

// --- Small helpers ---

int32_t bitCountOfFormat(int format) {
    switch (format) {
        case AV_PIX_FMT_PAL8: return 8;
        case AV_PIX_FMT_RGB555LE:
        case AV_PIX_FMT_RGB555BE:
        case AV_PIX_FMT_BGR555LE:
        case AV_PIX_FMT_BGR555BE: return 15;
        case AV_PIX_FMT_MONOWHITE:
        case AV_PIX_FMT_MONOBLACK: return 1;
        default: return 24;
    }
}

bool isMono(int format) { return format == AV_PIX_FMT_MONOWHITE || format == AV_PIX_FMT_MONOBLACK; }

int64_t saturatingAdd(int64_t a, int64_t b) {
    if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) return std::numeric_limits<int64_t>::max();
    if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) return std::numeric_limits<int64_t>::min();
    return a + b;
}

int64_t frameDurationOfRate(AVRational rate) {
    if (rate.num <= 0 || rate.den <= 0) return 0;
    return av_rescale(kMediaTicksPerSecond, rate.den, rate.num);
}

bool sizeAcceptable(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= INT32_MAX && height <= INT32_MAX &&
           width * height <= kMaxFramePixels;
}

}  // namespace

// --- The source ---

struct TFfmpegVideoSource::Impl {
    explicit Impl(TVideoTimeline kind) : timeline(kind) {}
    ~Impl() { finishReadAhead(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    TVideoOpenResult open(const std::function<std::unique_ptr<ByteInput>()>& makeInput, const std::string& name,
                          TVideoStreamInfo& info);
    bool readFrame(int32_t n, TRaster& frame);
    void setReadAhead(bool on) { m_readAhead = on; }

private:
    void close();
    bool readNow(int32_t n, TRaster& frame);
    void startReadAhead(int32_t n);
    void takeNextPicture(TRaster& frame);
    void finishReadAhead();
    FormatPtr openFormat(ByteInput& in, AvioPtr& avio, const AVInputFormat* forced, const std::string& name);
    bool pickVideoStream();
    bool openDecoder();
    bool setAviTimeline(const std::optional<AviStreamHeader>& header, TVideoStreamInfo& info);
    bool setMediaTimeline(TVideoStreamInfo& info);
    int64_t mediaDuration();
    int64_t scanVideoEnd();
    int64_t measureFrameDuration();

    int64_t targetOf(int32_t n) const;
    const AVFrame* frameShownAt(int64_t target);
    bool needsSeek(int64_t target) const;
    bool seekBefore(int64_t target);
    bool seekTo(int64_t timestamp, bool toStart);
    bool advance();
    bool decodeNext(AVFrame* out);
    void feedDecoder();
    int64_t stampOf(const AVFrame* frame);
    bool deliver(const AVFrame& source, TRaster& frame);
    bool convertToRgb(const AVFrame& source, TRaster& frame);
    void applyColourTags(const AVFrame& source);
    void copyMono(const AVFrame& source, TRaster& frame) const;

    TVideoTimeline timeline;
    std::function<std::unique_ptr<ByteInput>()> m_makeInput;
    std::unique_ptr<ByteInput> m_input;
    AvioPtr m_avio;
    FormatPtr m_format;
    CodecPtr m_codec;
    PacketPtr m_packet;
    FramePtr m_shown;  // the last frame at or before the last target
    FramePtr m_ahead;  // the frame after it, already decoded
    SwsPtr m_sws;
    std::vector<uint8_t> m_scratch;
    std::array<int, 5> m_colourKey{};  // size, format and colour tags the scaler was set up for
    AVStream* m_stream = nullptr;
    // Whether a seek to a time lands where the stamps say. MPEG program and
    // transport streams and raw streams stamp pictures after a seek
    // differently from a walk, so they are only ever rewound to the start.
    bool m_seekable = true;
    bool m_hasShown = false, m_hasAhead = false;
    int64_t m_shownStamp = 0, m_aheadStamp = 0;
    int64_t m_lastStamp = AV_NOPTS_VALUE;
    bool m_packetPending = false;
    int64_t m_wholeRawPicture = 0;  // bytes a raw picture needs; 0 for coded streams
    bool m_drained = false;  // the decoder has been told the input ended
    bool m_ended = false;    // and has given everything back
    bool m_failed = false;   // time out or fatal error in this request

    int64_t m_firstStamp = 0;
    int64_t m_frameTicks = 1;  // one frame in the stream's time base, at least 1
    int32_t m_frameCount = 0;
    AVRational m_aviFrameTime{1, 1};  // scale / rate
    int64_t m_stepTicks = 0;          // media step in 100-ns units

    // Read-ahead. While the worker runs it owns every member above and
    // m_nextPicture / m_nextOk; the caller's thread touches none of them
    // until it has joined the worker.
    bool m_readAhead = false;
    std::thread m_worker;
    int32_t m_nextN = -1;  // the frame the worker was asked for
    bool m_nextOk = false;
    TRaster m_nextPicture;
    // The frame delivered before the worker moved the decoder on, so that
    // asking for it again needs no seek.
    FramePtr m_previous;
    int32_t m_previousN = -1;
};

void TFfmpegVideoSource::Impl::finishReadAhead() {
    // Bounded: the worker decodes under the same deadline as a request.
    if (m_worker.joinable()) m_worker.join();
}

void TFfmpegVideoSource::Impl::close() {
    finishReadAhead();
    m_nextN = m_previousN = -1;
    m_previous.reset();
    m_sws.reset();
    m_shown.reset();
    m_ahead.reset();
    m_packet.reset();
    m_codec.reset();
    m_format.reset();
    m_avio.reset();
    m_input.reset();
    m_stream = nullptr;
    m_hasShown = m_hasAhead = m_packetPending = m_drained = m_ended = m_failed = false;
    m_lastStamp = AV_NOPTS_VALUE;
    m_frameCount = 0;
    m_frameTicks = 1;
    m_colourKey = {};
}

FormatPtr TFfmpegVideoSource::Impl::openFormat(ByteInput& in, AvioPtr& avio, const AVInputFormat* forced,
                                               const std::string& name) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (!buffer) return nullptr;
    avio.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &in, readPacket, nullptr, seekInput));
    if (!avio) {
        av_free(buffer);
        return nullptr;
    }
    AVFormatContext* context = avformat_alloc_context();
    if (!context) return nullptr;
    context->pb = avio.get();
    // MPEG streams stamp only some pictures; without generated stamps the
    // decoder's guesses differ between a walk and a seek.
    context->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_GENPTS;
    context->io_open = refuseNestedOpen;
    context->interrupt_callback.callback = interruptAtDeadline;
    context->interrupt_callback.opaque = &in;
    // On failure the context is freed and set to null.
    if (avStatus(avformat_open_input(&context, name.c_str(), forced, nullptr)) != TAvStatus::Ok) return nullptr;
    return FormatPtr(context);
}

TVideoOpenResult TFfmpegVideoSource::Impl::open(const std::function<std::unique_ptr<ByteInput>()>& makeInput,
                                                const std::string& name, TVideoStreamInfo& info) {
    close();
    silenceFfmpeg();
    try {
        m_makeInput = makeInput;
        m_input = makeInput();
    } catch (const std::exception&) {
        return TVideoOpenResult::CannotOpen;
    }
    m_input->deadline = Clock::now() + kOperationTimeLimit;
    std::optional<AviStreamHeader> aviHeader;
    const AVInputFormat* forced = nullptr;
    if (timeline == TVideoTimeline::AviFrames) {
        aviHeader = readAviStreamHeader(*m_input);
        forced = av_find_input_format("avi");
    }
    m_format = openFormat(*m_input, m_avio, forced, name);
    if (!m_format) return TVideoOpenResult::CannotOpen;
    // Failing to settle every stream's parameters is not fatal; a stream
    // that needs them fails to open its decoder below.
    if (avStatus(avformat_find_stream_info(m_format.get(), nullptr)) == TAvStatus::Stop || m_input->timedOut())
        return TVideoOpenResult::CannotOpen;
    if (!pickVideoStream() || !openDecoder()) return TVideoOpenResult::NoVideo;
    m_seekable = !(m_format->iformat->flags & (AVFMT_TS_DISCONT | AVFMT_GENERIC_INDEX | AVFMT_NOTIMESTAMPS));
    m_packet.reset(av_packet_alloc());
    m_shown.reset(av_frame_alloc());
    m_ahead.reset(av_frame_alloc());
    if (!m_packet || !m_shown || !m_ahead) return TVideoOpenResult::CannotOpen;
    // The first picture proves that frames can be delivered, and gives the
    // clock's origin and the decoded pixel format.
    if (!decodeNext(m_ahead.get())) return TVideoOpenResult::NoVideo;
    m_hasAhead = true;
    m_aheadStamp = m_firstStamp = m_lastStamp;
    const bool ok = timeline == TVideoTimeline::AviFrames ? setAviTimeline(aviHeader, info) : setMediaTimeline(info);
    if (!ok || m_input->timedOut()) {
        close();
        return TVideoOpenResult::NoVideo;
    }
    m_frameCount = info.FrameCount;
    return TVideoOpenResult::Opened;
}

bool TFfmpegVideoSource::Impl::pickVideoStream() {
    for (unsigned i = 0; i < m_format->nb_streams; ++i) {
        AVStream* stream = m_format->streams[i];
        // Cover art is a picture attached to audio, not a video.
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        m_stream = stream;
        return stream->time_base.num > 0 && stream->time_base.den > 0;
    }
    return false;
}

// The bytes an uncompressed picture needs at the least (rows unpadded). The
// raw decoder takes a palette picture up to 1024 bytes short and fills the
// rest from beyond the packet, so shorter packets are dropped as damaged.
namespace {
int64_t wholeRawPictureBytes(const AVCodecParameters& p) {
    if (p.codec_id != AV_CODEC_ID_RAWVIDEO || p.width <= 0 || p.height <= 0) return 0;
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(p.format));
    const int64_t bits = p.bits_per_coded_sample > 0 ? p.bits_per_coded_sample : format ? av_get_bits_per_pixel(format) : 0;
    return bits > 0 ? (int64_t{p.width} * bits + 7) / 8 * p.height : 0;
}
}  // namespace

bool TFfmpegVideoSource::Impl::openDecoder() {
    const AVCodecParameters* parameters = m_stream->codecpar;
    m_wholeRawPicture = wholeRawPictureBytes(*parameters);
    if ((parameters->width || parameters->height) && !sizeAcceptable(parameters->width, parameters->height))
        return false;
    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder) return false;
    m_codec.reset(avcodec_alloc_context3(decoder));
    if (!m_codec || avcodec_parameters_to_context(m_codec.get(), parameters) < 0) return false;
    m_codec->pkt_timebase = m_stream->time_base;
    // The codec's own threads; our side stays on one thread.
    m_codec->thread_count = 0;
    m_codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    return avcodec_open2(m_codec.get(), decoder, nullptr) >= 0;
}

bool TFfmpegVideoSource::Impl::setAviTimeline(const std::optional<AviStreamHeader>& header, TVideoStreamInfo& info) {
    AviStreamHeader h;
    if (header) h = *header;
    else h = {static_cast<uint32_t>(m_stream->time_base.num), static_cast<uint32_t>(m_stream->time_base.den),
              static_cast<uint32_t>(std::clamp<int64_t>(m_stream->nb_frames, 0, UINT32_MAX))};
    // The delay and the frame times divide by these.
    if (h.scale == 0 || h.rate == 0 || h.length == 0 || h.scale > INT32_MAX || h.rate > INT32_MAX) return false;
    m_aviFrameTime = AVRational{static_cast<int>(h.scale), static_cast<int>(h.rate)};
    m_frameTicks = std::max<int64_t>(1, av_rescale_q(1, m_aviFrameTime, m_stream->time_base));
    info.FrameCount = static_cast<int32_t>(std::min<uint32_t>(h.length, INT32_MAX));
    info.DelayMs = static_cast<int32_t>(1000.0 / (static_cast<double>(h.rate) / static_cast<double>(h.scale)));
    info.BitCount = bitCountOfFormat(m_ahead->format);
    return true;
}

bool TFfmpegVideoSource::Impl::setMediaTimeline(TVideoStreamInfo& info) {
    const int64_t duration = mediaDuration();
    if (duration <= 0) return false;
    int64_t step = frameDurationOfRate(m_stream->avg_frame_rate);
    if (step <= 0) step = frameDurationOfRate(m_stream->r_frame_rate);
    if (step <= 0) step = measureFrameDuration();
    if (step <= 0) step = duration;
    m_stepTicks = step;
    m_frameTicks = std::max<int64_t>(1, av_rescale_q(step, kMediaTimeBase, m_stream->time_base));
    // A container that counts its frames gives the count; otherwise the
    // duration is cut into steps of one frame.
    const int64_t count = m_stream->nb_frames > 0 ? m_stream->nb_frames : duration / step;
    if (count <= 0) return false;
    info.FrameCount = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
    info.DelayMs = static_cast<int32_t>(static_cast<double>(duration) / 10000.0 / info.FrameCount);
    // What a player hands over is always 24-bit.
    info.BitCount = 24;
    return true;
}

// The video stream's own length where the container states it; a length
// that FFmpeg could only estimate (MPEG program and transport streams, raw
// streams) is measured from the packets' time stamps instead.
int64_t TFfmpegVideoSource::Impl::mediaDuration() {
    int64_t duration = 0;
    if (m_stream->duration > 0) duration = av_rescale_q(m_stream->duration, m_stream->time_base, kMediaTimeBase);
    else if (m_format->duration > 0) duration = av_rescale_q(m_format->duration, AV_TIME_BASE_Q, kMediaTimeBase);
    if (m_format->duration_estimation_method != AVFMT_DURATION_FROM_STREAM || duration <= 0) {
        const int64_t measured = scanVideoEnd();
        if (measured > 0) duration = measured;
    }
    return std::max<int64_t>(duration, 0);
}

// Reads every packet of the video stream, without decoding, through a
// second reader so that the first keeps its place.
int64_t TFfmpegVideoSource::Impl::scanVideoEnd() {
    std::unique_ptr<ByteInput> input;
    try {
        input = m_makeInput();
    } catch (const std::exception&) {
        return 0;
    }
    input->deadline = m_input->deadline;
    AvioPtr avio;
    FormatPtr format = openFormat(*input, avio, m_format->iformat, m_format->url ? m_format->url : "");
    PacketPtr packet(av_packet_alloc());
    if (!format || !packet) return 0;
    int64_t first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
    AVRational timeBase = m_stream->time_base;
    while (avStatus(av_read_frame(format.get(), packet.get())) == TAvStatus::Ok) {
        if (packet->stream_index == m_stream->index && format->streams[packet->stream_index]->codecpar->codec_type ==
                                                           AVMEDIA_TYPE_VIDEO) {
            timeBase = format->streams[packet->stream_index]->time_base;
            // Decode stamps run evenly where presentation stamps are sparse
            // (MPEG streams stamp few packets); both span the same length.
            const int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            if (stamp != AV_NOPTS_VALUE) {
                const int64_t length = packet->duration > 0 ? packet->duration : 0;
                first = first == AV_NOPTS_VALUE ? stamp : std::min(first, stamp);
                end = end == AV_NOPTS_VALUE ? saturatingAdd(stamp, length)
                                            : std::max(end, saturatingAdd(stamp, length));
            }
        }
        av_packet_unref(packet.get());
    }
    if (first == AV_NOPTS_VALUE || end <= first || input->timedOut()) return 0;
    return av_rescale_q(end - first, timeBase, kMediaTimeBase);
}

// For a stream that states no frame rate: the distance between the first
// two distinct time stamps, over a bounded number of frames.
int64_t TFfmpegVideoSource::Impl::measureFrameDuration() {
    for (int i = 0; i < kFrameDurationProbeFrames && !m_ended; ++i) {
        if (!advance()) break;
        if (m_hasAhead && m_aheadStamp > m_firstStamp)
            return av_rescale_q(m_aheadStamp - m_firstStamp, m_stream->time_base, kMediaTimeBase);
    }
    return 0;
}

// --- Finding the frame shown at a time ---

int64_t TFfmpegVideoSource::Impl::targetOf(int32_t n) const {
    int64_t offset = 0;
    if (timeline == TVideoTimeline::AviFrames) {
        offset = av_rescale_q_rnd(n, m_aviFrameTime, m_stream->time_base, AV_ROUND_DOWN);
    } else {
        // n * step stays below the duration, since n is below the count.
        const int64_t at = static_cast<int64_t>(n) * m_stepTicks + m_stepTicks / 2;
        offset = av_rescale_q_rnd(at, kMediaTimeBase, m_stream->time_base, AV_ROUND_DOWN);
    }
    return saturatingAdd(m_firstStamp, offset);
}

int64_t TFfmpegVideoSource::Impl::stampOf(const AVFrame* frame) {
    int64_t stamp = frame->best_effort_timestamp;
    if (stamp == AV_NOPTS_VALUE)
        stamp = m_lastStamp == AV_NOPTS_VALUE ? 0 : saturatingAdd(m_lastStamp, m_frameTicks);
    // Later frames never go back in time, or "the frame shown at t" would
    // have no single answer.
    else if (m_lastStamp != AV_NOPTS_VALUE && stamp <= m_lastStamp)
        stamp = saturatingAdd(m_lastStamp, 1);
    m_lastStamp = stamp;
    return stamp;
}

// The next picture out of the decoder, feeding it packets as it asks.
bool TFfmpegVideoSource::Impl::decodeNext(AVFrame* out) {
    while (!m_ended) {
        if (m_failed || m_input->timedOut()) {
            m_failed = true;
            return false;
        }
        const TAvStatus received = avStatus(avcodec_receive_frame(m_codec.get(), out));
        if (received == TAvStatus::Ok) {
            if (!sizeAcceptable(out->width, out->height)) {
                av_frame_unref(out);
                continue;
            }
            stampOf(out);
            return true;
        }
        if (received == TAvStatus::End || received == TAvStatus::Stop) {
            m_ended = true;
            m_failed = m_failed || received == TAvStatus::Stop;
            return false;
        }
        // The decoder wants input, or one picture failed to decode: a
        // damaged packet costs that picture only.
        feedDecoder();
    }
    return false;
}

// Sends the stream's next packet, or the request to flush once the input
// has ended. A packet the decoder cannot take yet is kept for the next call.
void TFfmpegVideoSource::Impl::feedDecoder() {
    if (m_drained) {
        m_ended = true;
        return;
    }
    if (!m_packetPending) {
        const TAvStatus read = avStatus(av_read_frame(m_format.get(), m_packet.get()));
        if (read == TAvStatus::Again) return;
        if (read != TAvStatus::Ok) {
            m_failed = read == TAvStatus::Stop;
            avcodec_send_packet(m_codec.get(), nullptr);
            m_drained = true;
            return;
        }
        // An empty packet (a dropped AVI frame) would tell the decoder that
        // the input ended.
        if (m_packet->stream_index != m_stream->index || m_packet->size <= 0 || m_packet->size < m_wholeRawPicture) {
            av_packet_unref(m_packet.get());
            return;
        }
        m_packetPending = true;
    }
    const TAvStatus sent = avStatus(avcodec_send_packet(m_codec.get(), m_packet.get()));
    if (sent == TAvStatus::Again) return;
    m_packetPending = false;
    av_packet_unref(m_packet.get());
    m_failed = sent == TAvStatus::Stop;
}

// Moves one frame on: the frame ahead becomes the one shown.
bool TFfmpegVideoSource::Impl::advance() {
    if (!m_hasAhead) return false;
    std::swap(m_shown, m_ahead);
    av_frame_unref(m_ahead.get());
    m_hasShown = true;
    m_shownStamp = m_aheadStamp;
    m_hasAhead = decodeNext(m_ahead.get());
    if (m_hasAhead) m_aheadStamp = m_lastStamp;
    return true;
}

bool TFfmpegVideoSource::Impl::needsSeek(int64_t target) const {
    if (m_hasShown && target < m_shownStamp) return true;
    if (!m_hasShown && !m_hasAhead) return true;
    const int64_t position = m_hasAhead ? m_aheadStamp : m_shownStamp;
    if (target <= position || !m_seekable) return false;
    const int64_t framesAhead = (target - position) / m_frameTicks;
    if (avformat_index_get_entries_count(m_stream) > 0) {
        if (framesAhead < kSeekGainFrames) return false;
        const AVIndexEntry* key =
            avformat_index_get_entry_from_timestamp(m_stream, target, AVSEEK_FLAG_BACKWARD);
        return key && key->timestamp > position + kSeekGainFrames * m_frameTicks;
    }
    return framesAhead > kSeekGainFramesWithoutIndex;
}

bool TFfmpegVideoSource::Impl::seekTo(int64_t timestamp, bool toStart) {
    int result = -1;
    // Formats whose stamps cannot be trusted after a seek go back to their
    // first byte, where a fresh open starts too.
    if (toStart && !m_seekable) result = avformat_seek_file(m_format.get(), -1, 0, 0, 0, AVSEEK_FLAG_BYTE);
    if (toStart && avStatus(result) != TAvStatus::Ok)
        result = avformat_seek_file(m_format.get(), m_stream->index, INT64_MIN, timestamp, timestamp, 0);
    if (!toStart) result = av_seek_frame(m_format.get(), m_stream->index, timestamp, AVSEEK_FLAG_BACKWARD);
    if (avStatus(result) != TAvStatus::Ok) return false;
    avcodec_flush_buffers(m_codec.get());
    av_packet_unref(m_packet.get());
    av_frame_unref(m_shown.get());
    av_frame_unref(m_ahead.get());
    m_hasShown = m_hasAhead = m_packetPending = m_drained = m_ended = false;
    m_lastStamp = AV_NOPTS_VALUE;
    // Pictures before the first key frame lean on frames the seek skipped
    // (open groups of pictures); a decode from the start shows them whole.
    while ((m_hasAhead = decodeNext(m_ahead.get())) && !toStart && !m_ahead->key_frame) {
        av_frame_unref(m_ahead.get());
        m_lastStamp = AV_NOPTS_VALUE;
    }
    if (m_hasAhead) m_aheadStamp = m_lastStamp;
    return m_hasAhead;
}

// To the key frame before the target, then forward. A demuxer that lands
// after the target (inexact seeking without an index, or a key frame whose
// leading pictures come first) gets earlier tries, the last from the start.
bool TFfmpegVideoSource::Impl::seekBefore(int64_t target) {
    if (!m_seekable) return seekTo(m_firstStamp, true) && m_aheadStamp <= target;
    for (int64_t backSeconds : kSeekBackoffSeconds) {
        const int64_t back = av_rescale_q(backSeconds, AVRational{1, 1}, m_stream->time_base);
        const int64_t at = std::max(saturatingAdd(target, -back), m_firstStamp);
        if (seekTo(at, false) && m_aheadStamp <= target) return true;
        if (m_failed || at == m_firstStamp) break;
    }
    if (m_failed) return false;
    return seekTo(m_firstStamp, true) && m_aheadStamp <= target;
}

const AVFrame* TFfmpegVideoSource::Impl::frameShownAt(int64_t target) {
    target = std::max(target, m_firstStamp);
    if (needsSeek(target) && !seekBefore(target)) return nullptr;
    while (m_hasAhead && m_aheadStamp <= target) advance();
    if (m_failed || !m_hasShown) return nullptr;
    // Past the last picture of the file: a truncated or over-long clip has
    // no frame there.
    if (!m_hasAhead && target >= saturatingAdd(m_shownStamp, m_frameTicks)) return nullptr;
    return m_shown.get();
}

// --- Handing a frame over ---

// Follows the colours a YUV stream is tagged with, as players do; the
// tables are rebuilt only when the tags change.
void TFfmpegVideoSource::Impl::applyColourTags(const AVFrame& source) {
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(source.format));
    if (!format || (format->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) || format->nb_components < 3) return;
    // The cached scaler is replaced exactly when size or format change.
    const std::array<int, 5> key{source.width, source.height, source.format, source.colorspace, source.color_range};
    if (key == m_colourKey) return;
    m_colourKey = key;
    int* inverse = nullptr;
    int* table = nullptr;
    int sourceRange = 0, targetRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(m_sws.get(), &inverse, &sourceRange, &table, &targetRange, &brightness, &contrast,
                                 &saturation) < 0)
        return;
    const int* coefficients = inverse;
    if (source.colorspace != AVCOL_SPC_UNSPECIFIED && source.colorspace != AVCOL_SPC_RGB)
        coefficients = sws_getCoefficients(source.colorspace);
    if (source.color_range != AVCOL_RANGE_UNSPECIFIED) sourceRange = source.color_range == AVCOL_RANGE_JPEG;
    sws_setColorspaceDetails(m_sws.get(), coefficients, sourceRange, table, targetRange, brightness, contrast,
                             saturation);
}

void TFfmpegVideoSource::Impl::copyMono(const AVFrame& source, TRaster& frame) const {
    const size_t rowBytes = frame.RowBytes();
    const bool invert = source.format == AV_PIX_FMT_MONOWHITE;
    const int spare = (8 - source.width % 8) % 8;
    const auto lastMask = static_cast<uint8_t>(0xFF << spare);
    for (int32_t y = 0; y < source.height; ++y) {
        const uint8_t* from = source.data[0] + static_cast<ptrdiff_t>(y) * source.linesize[0];
        uint8_t* to = frame.Scanline(y);
        for (size_t i = 0; i < rowBytes; ++i) to[i] = invert ? static_cast<uint8_t>(~from[i]) : from[i];
        to[rowBytes - 1] &= lastMask;
    }
}

bool TFfmpegVideoSource::Impl::convertToRgb(const AVFrame& source, TRaster& frame) {
    const int w = source.width, h = source.height;
    m_sws.reset(sws_getCachedContext(m_sws.release(), w, h, static_cast<AVPixelFormat>(source.format), w, h,
                                     AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!m_sws) return false;
    applyColourTags(source);
    // swscale's vector code converts whole groups of 8 pixels and skips a
    // ragged end unless the row has room for it: such rows go through a
    // wider buffer.
    const bool direct = w % 8 == 0;
    const int stride = direct ? static_cast<int>(frame.RowBytes()) : ((w + 15) / 16 * 16 * 3 + 63) / 64 * 64;
    uint8_t* target = nullptr;
    if (direct) {
        target = frame.Scanline(0);
    } else {
        m_scratch.resize(static_cast<size_t>(stride) * static_cast<size_t>(h + 1));
        target = m_scratch.data();
    }
    uint8_t* planes[4] = {target, nullptr, nullptr, nullptr};
    const int strides[4] = {stride, 0, 0, 0};
    if (sws_scale(m_sws.get(), source.data, source.linesize, 0, h, planes, strides) != h) return false;
    if (!direct)
        for (int y = 0; y < h; ++y)
            std::memcpy(frame.Scanline(y), target + static_cast<ptrdiff_t>(y) * stride, frame.RowBytes());
    return true;
}

bool TFfmpegVideoSource::Impl::deliver(const AVFrame& source, TRaster& frame) {
    const bool mono = timeline == TVideoTimeline::AviFrames && isMono(source.format);
    const TPixelLayout layout = mono ? px1g : px24RGB;
    // The caller's buffer is reused when it already has the shape.
    if (frame.Width() != source.width || frame.Height() != source.height || frame.PixelLayout() != layout ||
        frame.HasAlphaChannel() || frame.PaletteLength() > 0)
        frame.Allocate(source.width, source.height, layout);
    if (mono) {
        copyMono(source, frame);
        return true;
    }
    return convertToRgb(source, frame);
}

bool TFfmpegVideoSource::Impl::readNow(int32_t n, TRaster& frame) {
    m_input->deadline = Clock::now() + kOperationTimeLimit;
    m_failed = false;
    const AVFrame* shown = frameShownAt(targetOf(n));
    return shown && deliver(*shown, frame);
}

bool TFfmpegVideoSource::Impl::readFrame(int32_t n, TRaster& frame) {
    if (!m_format || n < 0 || n >= m_frameCount) return false;
    finishReadAhead();
    if (n == m_previousN) return deliver(*m_previous, frame);
    bool ok = false;
    if (n == m_nextN && m_nextOk) {
        takeNextPicture(frame);
        ok = true;
    } else {
        // Anything else, or a read-ahead that failed, decodes as if there
        // had been none: the decoder's state is one a request could leave.
        m_nextN = m_previousN = -1;
        m_previous.reset();
        ok = readNow(n, frame);
    }
    if (ok && m_readAhead && n + 1 < m_frameCount) startReadAhead(n);
    return ok;
}

// The caller's buffer becomes the worker's next target; it is given the
// picture's shape here, since memory allocated on the worker's thread and
// freed on the caller's costs page faults every frame.
void TFfmpegVideoSource::Impl::takeNextPicture(TRaster& frame) {
    const TBlackWhiteMethod method = frame.BlackWhiteMethod;
    std::swap(frame, m_nextPicture);
    frame.BlackWhiteMethod = method;
    if (m_nextPicture.Width() != frame.Width() || m_nextPicture.Height() != frame.Height() ||
        m_nextPicture.PixelLayout() != frame.PixelLayout() || m_nextPicture.HasAlphaChannel() ||
        m_nextPicture.PaletteLength() > 0)
        m_nextPicture.Allocate(frame.Width(), frame.Height(), frame.PixelLayout());
}

// Called with the decoder showing frame n.
void TFfmpegVideoSource::Impl::startReadAhead(int32_t n) {
    m_nextN = m_previousN = -1;
    if (!m_hasShown) return;
    if (!m_previous) m_previous.reset(av_frame_alloc());
    if (!m_previous) return;
    av_frame_unref(m_previous.get());
    if (av_frame_ref(m_previous.get(), m_shown.get()) < 0) return;
    m_previousN = n;
    m_nextN = n + 1;
    m_nextOk = false;
    try {
        m_worker = std::thread([this] {
            try {
                m_nextOk = readNow(m_nextN, m_nextPicture);
            } catch (...) {
                m_nextOk = false;
            }
        });
    } catch (const std::system_error&) {
        m_nextN = -1;
    }
}

// --- Public face ---

TFfmpegVideoSource::TFfmpegVideoSource(TVideoTimeline timeline) : m_impl(std::make_unique<Impl>(timeline)) {}

TFfmpegVideoSource::~TFfmpegVideoSource() = default;

TVideoOpenResult TFfmpegVideoSource::Open(const std::filesystem::path& fileName, TVideoStreamInfo& info) {
    try {
        const std::u8string name = fileName.u8string();
        return m_impl->open([fileName] { return std::make_unique<ByteInput>(fileName); },
                            std::string(name.begin(), name.end()), info);
    } catch (const std::exception&) {
        return TVideoOpenResult::CannotOpen;
    }
}

TVideoOpenResult TFfmpegVideoSource::OpenMemory(std::span<const std::byte> bytes, TVideoStreamInfo& info) {
    try {
        return m_impl->open([bytes] { return std::make_unique<ByteInput>(bytes); }, std::string(), info);
    } catch (const std::exception&) {
        return TVideoOpenResult::CannotOpen;
    }
}

void TFfmpegVideoSource::SetReadAhead(bool on) { m_impl->setReadAhead(on); }

bool TFfmpegVideoSource::ReadFrame(int32_t n, TRaster& frame) {
    try {
        return m_impl->readFrame(n, frame);
    } catch (const std::exception&) {
        return false;
    }
}

std::unique_ptr<TVideoFrameSource> MakeFfmpegAviSource() {
    return std::make_unique<TFfmpegVideoSource>(TVideoTimeline::AviFrames);
}

std::unique_ptr<TVideoFrameSource> MakeFfmpegMediaSource() {
    return std::make_unique<TFfmpegVideoSource>(TVideoTimeline::MediaSteps);
}

}  // namespace loopsmith
