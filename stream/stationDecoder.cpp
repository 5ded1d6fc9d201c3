#include "stream/stationDecoder.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "foundation/unaTime.h"
#include "stream/playlist.h"
#include "stream/senderClock.h"
#include "stream/stationList.h"
#include "stream/stationStatusBoard.h"

namespace una::stream {

namespace {

// Network schemes only: a redirect or an HLS playlist can never lead to a local file or device.
constexpr const char* kProtocols = "http,https,tcp,tls,crypto";
constexpr int64_t kStallNs = 2'000'000'000;     // silence of the network that counts as a stall
constexpr size_t kTitleMax = 256;
// Packets in a row that decode to nothing before the stream counts as garbage.
constexpr int kUndecodableRun = 200;

std::atomic<double> pauseScale{1.0};
std::atomic<int64_t> connectNs{10'000'000'000};  // to answer and to start sending sound

// FFmpeg's last error line on this thread: its codes alone cannot tell a name that does not
// resolve from other input/output errors. Nothing is printed.
thread_local std::string lastLogLine;

void logToLastLine(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR)
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    lastLogLine = line;
    while (!lastLogLine.empty() && (lastLogLine.back() == '\n' || lastLogLine.back() == '\r'))
        lastLogLine.pop_back();
}

void installLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(logToLastLine); });
}

struct Deadline {
    std::atomic<int64_t> atNs{0};
    const std::atomic<bool>* stopping = nullptr;
    bool expired = false;
};

int interrupted(void* opaque) {
    auto* d = static_cast<Deadline*>(opaque);
    if (d->stopping->load())
        return 1;
    if (markTime() > d->atNs.load()) {
        d->expired = true;
        return 1;
    }
    return 0;
}

StationFault faultOf(int code, const Deadline& deadline, bool opening, std::string& detail) {
    if (deadline.expired)
        return opening ? StationFault::timeout : StationFault::silent;
    switch (code) {
        case AVERROR_HTTP_NOT_FOUND: return StationFault::notFound;
        case AVERROR_HTTP_FORBIDDEN:
        case AVERROR_HTTP_UNAUTHORIZED: return StationFault::accessDenied;
        case AVERROR_HTTP_BAD_REQUEST:
        case AVERROR_HTTP_OTHER_4XX: return StationFault::rejected;
        case AVERROR_HTTP_SERVER_ERROR: return StationFault::serverError;
        case AVERROR(ECONNREFUSED): return StationFault::refused;
        case AVERROR(ETIMEDOUT): return StationFault::timeout;
        case AVERROR_INVALIDDATA: return StationFault::notAStream;
        case AVERROR_PROTOCOL_NOT_FOUND: return StationFault::notWebAddress;
        case AVERROR_EOF: return StationFault::ended;
        default: break;
    }
    // A live stream has no length, so the server closing it midway reads as an input/output
    // error ("stream ends prematurely"): the station was reached, its stream ended.
    if (!opening && code == AVERROR(EIO))
        return StationFault::ended;
    if (lastLogLine.find("resolve") != std::string::npos)
        return StationFault::unresolved;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    detail = text;
    return StationFault::unreachable;
}

AVDictionary* openOptions() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
    av_dict_set(&options, "icy", "1", 0);
    av_dict_set(&options, "user_agent", "RuzizavuVodideza", 0);
    return options;
}

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrCloser {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct IoCloser {
    void operator()(AVIOContext* c) const { avio_closep(&c); }
};

// The text of the ICY title ("StreamTitle='...';"), cleaned for showing.
std::string titleOf(std::string_view packet) {
    constexpr std::string_view key = "StreamTitle='";
    const size_t at = packet.find(key);
    if (at == std::string_view::npos)
        return {};
    std::string_view rest = packet.substr(at + key.size());
    const size_t end = rest.find("';");
    rest = rest.substr(0, std::min(end, kTitleMax));
    std::string title;
    for (char c : rest)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            title += c;
    return title;
}

AVSampleFormat sampleFormatFor(uint32_t bits) {
    return bits == 8 ? AV_SAMPLE_FMT_U8 : bits == 32 ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S16;
}

// The container a server's content type names. Probing a live MP3 stream needs 128 KB before
// it is sure, seconds of waiting after the connection's burst.
const AVInputFormat* containerOf(std::string_view mime) {
    mime = mime.substr(0, mime.find(';'));
    if (mime == "audio/mpeg" || mime == "audio/mp3" || mime == "audio/x-mpeg")
        return av_find_input_format("mp3");
    if (mime == "audio/aac" || mime == "audio/aacp" || mime == "audio/x-aac")
        return av_find_input_format("aac");
    if (mime == "audio/ogg" || mime == "application/ogg" || mime == "audio/x-ogg")
        return av_find_input_format("ogg");
    return nullptr;
}

// Beside FFmpeg's reading of an HLS stream, its media playlist is fetched again once a segment
// for the stamps of the sender's clock. FFmpeg keeps what it reads to itself.
class StampPoller {
  public:
    StampPoller(std::string url, const std::atomic<bool>& stopping,
                std::function<void(double)> onPace)
        : url_(std::move(url)), stopping_(stopping), onPace_(std::move(onPace)) {
        thread_ = std::thread([this] { run(); });
    }
    ~StampPoller() {
        {
            std::lock_guard lock(m_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    StampPoller(const StampPoller&) = delete;
    StampPoller& operator=(const StampPoller&) = delete;

  private:
    bool over() const { return done_.load() || stopping_.load(); }

    static int interrupt(void* opaque) {
        auto* self = static_cast<StampPoller*>(opaque);
        return self->over() || markTime() > self->deadlineNs_ ? 1 : 0;
    }

    bool fetch(const std::string& url, std::string& text) {
        deadlineNs_ = markTime() + 5'000'000'000;
        const AVIOInterruptCB callback{interrupt, this};
        AVDictionary* options = openOptions();
        AVIOContext* raw = nullptr;
        const int code = avio_open2(&raw, url.c_str(), AVIO_FLAG_READ, &callback, &options);
        av_dict_free(&options);
        if (code < 0)
            return false;
        std::unique_ptr<AVIOContext, IoCloser> io(raw);
        text.resize(kMediaPlaylistMaxBytes);
        size_t got = 0;
        while (got < text.size()) {
            const int n = avio_read(io.get(), reinterpret_cast<unsigned char*>(text.data() + got),
                                    static_cast<int>(std::min<size_t>(16384, text.size() - got)));
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
        return got > 0;
    }

    void run() {
        std::string url = url_, text;
        SenderClock clock;
        bool followed = false;
        while (!over()) {
            double every = 2;
            if (fetch(url, text)) {
                const MediaPlaylist list = readMediaPlaylist(text, url);
                if (list.segments.empty() && !list.variant.empty() && !followed &&
                    isStationAddress(list.variant)) {
                    followed = true;
                    url = list.variant;
                    continue;
                }
                clock.heard(list);
                if (clock.pace() > 0)
                    onPace_(clock.pace());
                if (list.targetSeconds > 0)
                    every = std::clamp(list.targetSeconds, 1.0, 10.0);
            }
            std::unique_lock lock(m_);
            wake_.wait_for(lock, std::chrono::duration<double>(every), [this] { return over(); });
        }
    }

    const std::string url_;
    const std::atomic<bool>& stopping_;
    const std::function<void(double)> onPace_;
    std::atomic<int64_t> deadlineNs_{0};
    std::atomic<bool> done_{false};
    std::mutex m_;
    std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace

void StationDecoder::setPauseScale(double scale) {
    pauseScale.store(scale);
}

void StationDecoder::setConnectTimeout(double seconds) {
    connectNs.store(static_cast<int64_t>(seconds * 1e9));
}

StationDecoder::StationDecoder(std::string url, const DecodedFormat& format,
                               std::shared_ptr<StationStatusBoard> board, Sink sink)
    : url_(std::move(url)), format_(format), board_(std::move(board)), sink_(std::move(sink)) {
    installLog();
    thread_ = std::thread([this] { run(); });
}

StationDecoder::~StationDecoder() {
    stop();
}

void StationDecoder::stop() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool StationDecoder::waitFor(double seconds) {
    std::unique_lock lock(m_);
    return !wake_.wait_for(lock, std::chrono::duration<double>(seconds * pauseScale.load()),
                           [this] { return stopping_.load(); });
}

void StationDecoder::run() {
    double pause = 1;
    bool everPlayed = false;
    Fault fault;
    while (!stopping_) {
        board_->setState(everPlayed ? StationStatus::State::reconnecting
                                    : StationStatus::State::connecting,
                         fault.code, fault.detail);
        fault = {};
        bool played = false;
        session(fault, played);
        if (sink_.ended)
            sink_.ended(markTime());
        if (stopping_)
            break;
        if (played) {
            pause = 1;
            everPlayed = true;
        }
        board_->setState(everPlayed ? StationStatus::State::reconnecting
                                    : StationStatus::State::failed,
                         fault.code, fault.detail);
        if (!waitFor(pause))
            break;
        pause = std::min(pause * 2, 30.0);
    }
}

bool StationDecoder::session(Fault& fault, bool& played) {
    Deadline deadline;
    deadline.stopping = &stopping_;
    const AVIOInterruptCB interrupt{interrupted, &deadline};
    lastLogLine.clear();

    // Playlists are followed to the stream; each address once, so one that points at itself
    // (or a ring of them) ends.
    std::string url = url_;
    std::string mime;
    std::set<std::string> visited;
    for (int depth = 0;; ++depth) {
        if (depth > kPlaylistMaxDepth || !visited.insert(url).second) {
            fault.code = StationFault::playlistLoop;
            return false;
        }
        if (!isStationAddress(url)) {
            fault.code = StationFault::notWebAddress;
            return false;
        }
        deadline.atNs = markTime() + connectNs.load();
        AVDictionary* options = openOptions();
        AVIOContext* rawIo = nullptr;
        int code = avio_open2(&rawIo, url.c_str(), AVIO_FLAG_READ, &interrupt, &options);
        av_dict_free(&options);
        if (code < 0) {
            fault.code = faultOf(code, deadline, true, fault.detail);
            return false;
        }
        std::unique_ptr<AVIOContext, IoCloser> io(rawIo);
        mime.clear();
        uint8_t* value = nullptr;
        if (av_opt_get(io.get(), "mime_type", AV_OPT_SEARCH_CHILDREN, &value) >= 0 && value) {
            mime = reinterpret_cast<char*>(value);
            av_free(value);
        }
        if (mime.starts_with("text/html")) {
            fault.code = StationFault::webPage;
            return false;
        }
        if (!looksLikePlaylist(mime, url))
            break;
        std::string text(kPlaylistMaxBytes, '\0');
        size_t got = 0;
        while (got < text.size()) {
            const int n = avio_read(io.get(), reinterpret_cast<unsigned char*>(text.data() + got),
                                    static_cast<int>(std::min<size_t>(4096, text.size() - got)));
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
        const Playlist list = readPlaylist(text, mime, url);
        if (list.kind == Playlist::Kind::hls) {
            // A master playlist: FFmpeg would read every variant and decode one of its own
            // choosing, while the stamps must come from the one heard. The variant is chosen
            // here, and FFmpeg and the stamps' poller both read that one.
            if (const MediaPlaylist hls = readMediaPlaylist(text, url);
                hls.segments.empty() && !hls.variant.empty()) {
                url = hls.variant;
                continue;
            }
        }
        if (list.kind != Playlist::Kind::list)
            break;  // HLS, or a stream after all: the decoder reads it
        if (list.entries.empty()) {
            fault.code = StationFault::playlistEmpty;
            return false;
        }
        url = list.entries.front();
    }

    // The stream.
    AVFormatContext* rawFormat = avformat_alloc_context();
    if (!rawFormat) {
        fault.code = StationFault::unreachable;
        return false;
    }
    rawFormat->interrupt_callback = interrupt;
    // Stream titles are the server's business: a few seconds of probing is plenty.
    AVDictionary* options = openOptions();
    av_dict_set(&options, "probesize", "65536", 0);
    av_dict_set(&options, "formatprobesize", "65536", 0);
    av_dict_set(&options, "analyzeduration", "500000", 0);
    deadline.atNs = markTime() + connectNs.load();
    int code = avformat_open_input(&rawFormat, url.c_str(), containerOf(mime), &options);
    av_dict_free(&options);
    if (code < 0) {
        fault.code = faultOf(code, deadline, true, fault.detail);
        return false;
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(rawFormat);
    code = avformat_find_stream_info(format.get(), nullptr);
    if (code < 0) {
        fault.code = faultOf(code, deadline, true, fault.detail);
        return false;
    }
    const AVCodec* codec = nullptr;
    const int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (streamIndex < 0 || !codec) {
        fault.code = StationFault::notAStream;
        return false;
    }
    std::unique_ptr<AVCodecContext, CodecCloser> decoder(avcodec_alloc_context3(codec));
    if (!decoder ||
        avcodec_parameters_to_context(decoder.get(), format->streams[streamIndex]->codecpar) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        fault.code = StationFault::undecodable;
        return false;
    }
    const bool segmented = std::strcmp(format->iformat->name, "hls") == 0;
    std::unique_ptr<StampPoller> stamps;
    if (segmented && sink_.senderPace)
        stamps = std::make_unique<StampPoller>(url, stopping_, sink_.senderPace);

    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    std::unique_ptr<SwrContext, SwrCloser> resampler;
    AVChannelLayout outLayout;
    av_channel_layout_default(&outLayout, static_cast<int>(format_.channels));
    const AVSampleFormat outFormat = sampleFormatFor(format_.bits);
    const size_t frameBytes = format_.channels * (format_.bits / 8);
    int inRate = 0, inFormat = -1;
    AVChannelLayout inLayout{};
    std::vector<uint8_t> out;
    int undecodable = 0;
    int64_t lastTitleCheckNs = 0;
    int64_t lastPacketNs = markTime();
    int64_t longestGapNs = 0;
    bool announced = false;

    auto handOn = [&](AVFrame* in, int64_t nowNs) -> bool {
        if (!resampler || in->sample_rate != inRate || in->format != inFormat ||
            av_channel_layout_compare(&in->ch_layout, &inLayout) != 0) {
            // A new rate or layout between programmes: a new converter, and the sound goes on.
            SwrContext* raw = nullptr;
            if (swr_alloc_set_opts2(&raw, &outLayout, outFormat, static_cast<int>(format_.rate),
                                    &in->ch_layout, static_cast<AVSampleFormat>(in->format),
                                    in->sample_rate, 0, nullptr) < 0 ||
                swr_init(raw) < 0) {
                swr_free(&raw);
                return false;
            }
            resampler.reset(raw);
            inRate = in->sample_rate;
            inFormat = in->format;
            av_channel_layout_uninit(&inLayout);
            av_channel_layout_copy(&inLayout, &in->ch_layout);
        }
        const int room = swr_get_out_samples(resampler.get(), in->nb_samples);
        if (room <= 0)
            return true;
        out.resize(static_cast<size_t>(room) * frameBytes);
        uint8_t* planes[1] = {out.data()};
        const int made = swr_convert(resampler.get(), planes, room,
                                     const_cast<const uint8_t**>(in->extended_data),
                                     in->nb_samples);
        if (made < 0)
            return false;
        if (made > 0) {
            if (!announced) {
                announced = true;
                board_->setState(StationStatus::State::playing, StationFault::none);
            }
            played = true;
            sink_.audio({out.data(), static_cast<size_t>(made) * frameBytes}, nowNs);
        }
        return true;
    };

    if (sink_.connected)
        sink_.connected(markTime(), segmented);
    fault = {};
    while (!stopping_) {
        // HLS brings a segment at a time: a stall is counted beyond the longest wait between
        // segments seen so far.
        const int64_t stallNs =
            segmented ? kStallNs + std::max<int64_t>(longestGapNs * 3 / 2, 6'000'000'000)
                      : kStallNs;
        deadline.expired = false;
        deadline.atNs = markTime() + stallNs;
        code = av_read_frame(format.get(), packet.get());
        const int64_t nowNs = markTime();
        if (code < 0) {
            if (!stopping_)
                fault.code = faultOf(code, deadline, false, fault.detail);
            break;
        }
        longestGapNs = std::max(longestGapNs, nowNs - lastPacketNs);
        lastPacketNs = nowNs;
        if (packet->stream_index == streamIndex) {
            bool decoded = false;
            if (avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
                while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
                    decoded = true;
                    const bool ok = handOn(frame.get(), nowNs);
                    av_frame_unref(frame.get());
                    if (!ok) {
                        fault.code = StationFault::undecodable;
                        av_packet_unref(packet.get());
                        av_channel_layout_uninit(&inLayout);
                        return false;
                    }
                }
            }
            undecodable = decoded ? 0 : undecodable + 1;
            if (undecodable > kUndecodableRun) {
                fault.code = StationFault::undecodable;
                av_packet_unref(packet.get());
                break;
            }
        }
        av_packet_unref(packet.get());
        if (nowNs - lastTitleCheckNs > 500'000'000 && format->pb) {
            lastTitleCheckNs = nowNs;
            uint8_t* value = nullptr;
            if (av_opt_get(format->pb, "icy_metadata_packet", AV_OPT_SEARCH_CHILDREN, &value) >=
                    0 &&
                value) {
                if (std::string title = titleOf(reinterpret_cast<char*>(value)); !title.empty())
                    board_->setTitle(std::move(title));
                av_free(value);
            }
        }
    }
    av_channel_layout_uninit(&inLayout);
    if (fault.code == StationFault::none && !stopping_)
        fault.code = StationFault::ended;
    return played;
}

}  // namespace una::stream
