#pragma once
// The RTMP chunk layer: cutting an outgoing message body into 128-byte chunks, writing and
// reading chunk headers, and a reader that takes a server's chunk stream apart into messages
// whatever chunk size it announces and however its bytes arrive.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

constexpr int     kRtmpChunkSize    = 128;    // what we send; what a server sends until it says otherwise
constexpr uint8_t kRtmpContinuation = 0xC3;   // format 3 on chunk stream 3

enum RtmpMessageType : uint8_t {
    kRtmpSetChunkSize   = 1,
    kRtmpAbort          = 2,
    kRtmpAcknowledgement = 3,
    kRtmpUserControl    = 4,
    kRtmpWindowAckSize  = 5,
    kRtmpSetPeerBandwidth = 6,
    kRtmpAudio          = 8,
    kRtmpVideo          = 9,
    kRtmpAmf3Data       = 15,
    kRtmpAmf3Command    = 17,
    kRtmpAmf0Data       = 18,
    kRtmpAmf0Command    = 20,
};

// Inserts the continuation byte after every 128 bytes of the body that more body follows,
// moving the rest up; the body has room for (length - 1) / 128 more bytes. The new length.
int RTMP_InsertChunkHeaders(uint8_t* body, int length, uint8_t continuation = kRtmpContinuation);
// Format 0 gives 11 and format 1 gives 7, after storing the 24-bit message length (bytes 4-6)
// and the type (byte 7); formats 2 and 3, or fewer than 1 + that many bytes available, give 0
// and store nothing. The body starts at 1 + the result.
int RTMP_ReadMessageHeader(const uint8_t* chunk, std::size_t available, int32_t& length, int32_t& type);
// A format 0 (12 bytes) or format 1 (8 bytes) header on a chunk stream from 2 to 63; the
// message stream id of format 0 is written least significant byte first, as RTMP has it.
int RTMP_PutChunkHeader(uint8_t* at, int format, int chunk_stream, uint32_t timestamp, uint32_t length, uint8_t type,
                        uint32_t stream_id);

// One message the reader has put together.
struct RtmpMessage {
    uint8_t        type = 0;
    uint32_t       stream_id = 0;
    uint32_t       timestamp = 0;
    uint32_t       length = 0;          // the whole body's length
    const uint8_t* body = nullptr;      // its first body_kept bytes (the rest was not kept)
    uint32_t       body_kept = 0;
    int            first_chunk = -1;    // offset of its first chunk in the block fed, -1 when it began earlier
    int            end = 0;             // offset just past its last byte in the block fed
};

// Reads a server's chunk stream. It follows Set Chunk Size and Abort itself; every other
// message goes to the caller. Bodies are kept up to the bound given at construction (64 KiB,
// enough for commands and metadata; a reader of media asks for more, since one key frame can
// be several hundred KiB). Each chunk stream holds at most that much, and a server may open up
// to kMaxStreams of them.
class RtmpChunkReader {
public:
    static constexpr uint32_t kKeptBody = 65536;
    static constexpr uint32_t kMaxKeptBody = 0xFFFFFF;    // the longest message the header can announce
    // A false from the callback stops the walk after that message.
    using MessageFn = std::function<bool(const RtmpMessage&)>;

    // Feeds a block. Returns the bytes taken (all of them unless the callback stopped the
    // walk: then the bytes up to that message's end), or -1 when the stream cannot be read
    // (a header that refers to a chunk stream never opened, a bad chunk size, too many
    // chunk streams); the reader is then unusable until Reset. on_start, when given, sees each
    // message as soon as its first two body bytes are in (body_kept counts what is; end is
    // where they end), so that a long message is known by its start.
    long Feed(const uint8_t* data, std::size_t length, const MessageFn& on_message, const MessageFn& on_start = nullptr);
    void Reset();
    explicit RtmpChunkReader(uint32_t kept_body = kKeptBody) : kept_body_(std::min(kept_body, kMaxKeptBody))
    {
        streams_.reserve(kMaxStreams);
    }
    uint32_t chunk_size() const { return chunk_size_; }

private:
    struct Stream {
        uint32_t             id = 0;
        uint32_t             timestamp = 0;
        uint32_t             delta = 0;
        uint32_t             length = 0;
        uint32_t             stream_id = 0;
        uint8_t              type = 0;
        bool                 extended = false;     // the last header carried an extended timestamp
        bool                 opened = false;       // a format 0 header was seen
        uint32_t             received = 0;         // body bytes of the message in progress
        bool                 announced = false;    // its start was handed to on_start
        std::vector<uint8_t> body;
        uint64_t             start_block = 0;      // block in which the message in progress began
        int                  start_offset = -1;
    };
    static constexpr std::size_t kMaxStreams = 64;
    // The stream with this chunk stream id; a new one when create is set; null when there is
    // none (or no room for another).
    Stream* Find(uint32_t id, bool create);
    // The header bytes header_[0..header_length_) need this many in all (0: not known yet).
    int HeaderSize();
    // Applies the complete header: false on a bad one.
    bool TakeHeader();
    // Hands over a complete message of stream; false when the callback stops the walk or the
    // message breaks the stream (broken_ set).
    bool Deliver(Stream& stream, int end, const MessageFn& on_message);
    RtmpMessage Describe(const Stream& stream, int end) const;

    std::vector<Stream> streams_;                  // never more than kMaxStreams, so pointers hold
    uint32_t kept_body_ = kKeptBody;
    uint32_t chunk_size_ = kRtmpChunkSize;
    uint8_t  header_[18] = {};
    int      header_length_ = 0;
    int      header_start_ = -1;                   // offset of the header's first byte in its block
    uint64_t header_block_ = 0;
    Stream*  current_ = nullptr;                   // the stream whose chunk body is being read
    uint32_t chunk_left_ = 0;
    uint64_t block_ = 0;
    bool     broken_ = false;
};
