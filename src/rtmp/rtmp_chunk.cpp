#include "rtmp/rtmp_chunk.h"

#include "core/byte_order.h"

#include <algorithm>
#include <cstring>

int RTMP_InsertChunkHeaders(uint8_t* body, int length, uint8_t continuation)
{
    int inserted = 0;
    for (int i = 1; kRtmpChunkSize * i < length; ++i) {
        const int at = kRtmpChunkSize * i + (i - 1);
        const int end = length + inserted;           // current end of the buffer's bytes
        std::memmove(body + at + 1, body + at, static_cast<std::size_t>(end - at));
        body[at] = continuation;
        ++inserted;
    }
    return length + inserted;
}

static void Put24(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value >> 16);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value);
}

int RTMP_ReadMessageHeader(const uint8_t* chunk, std::size_t available, int32_t& length, int32_t& type)
{
    if (available < 1) return 0;
    const int format = chunk[0] >> 6;
    const int size = format == 0 ? 11 : format == 1 ? 7 : 0;
    if (size == 0 || available < static_cast<std::size_t>(1 + size)) return 0;
    length = static_cast<int32_t>(ReadBe24(chunk + 4));
    type = chunk[7];
    return size;
}

int RTMP_PutChunkHeader(uint8_t* at, int format, int chunk_stream, uint32_t timestamp, uint32_t length, uint8_t type,
                        uint32_t stream_id)
{
    at[0] = static_cast<uint8_t>((format << 6) | (chunk_stream & 0x3F));
    Put24(at + 1, timestamp);
    Put24(at + 4, length);
    at[7] = type;
    if (format != 0) return 8;
    for (int i = 0; i < 4; ++i) at[8 + i] = static_cast<uint8_t>(stream_id >> (8 * i));
    return 12;
}

void RtmpChunkReader::Reset()
{
    streams_.clear();
    chunk_size_ = kRtmpChunkSize;
    header_length_ = 0;
    header_start_ = -1;
    current_ = nullptr;
    chunk_left_ = 0;
    broken_ = false;
}

RtmpChunkReader::Stream* RtmpChunkReader::Find(uint32_t id, bool create)
{
    for (Stream& stream : streams_)
        if (stream.id == id) return &stream;
    if (!create || streams_.size() >= kMaxStreams) return nullptr;
    streams_.emplace_back();
    streams_.back().id = id;
    return &streams_.back();
}

int RtmpChunkReader::HeaderSize()
{
    if (header_length_ < 1) return 0;
    const int format = header_[0] >> 6;
    const int low = header_[0] & 0x3F;
    const int basic = low == 0 ? 2 : low == 1 ? 3 : 1;
    const int message = format == 0 ? 11 : format == 1 ? 7 : format == 2 ? 3 : 0;
    const int size = basic + message;
    if (header_length_ < size) return size;           // the timestamp field is not here yet
    bool extended = false;
    if (format < 3) {
        extended = ReadBe24(header_ + basic) == 0xFFFFFF;
    } else {
        const uint32_t id = low == 0 ? 64u + header_[1] : low == 1 ? 64u + header_[1] + 256u * header_[2] : static_cast<uint32_t>(low);
        const Stream* stream = Find(id, false);
        extended = stream != nullptr && stream->extended;
    }
    return size + (extended ? 4 : 0);
}

bool RtmpChunkReader::TakeHeader()
{
    const int format = header_[0] >> 6;
    const int low = header_[0] & 0x3F;
    const int basic = low == 0 ? 2 : low == 1 ? 3 : 1;
    const uint32_t id = low == 0 ? 64u + header_[1] : low == 1 ? 64u + header_[1] + 256u * header_[2] : static_cast<uint32_t>(low);
    // Format 1 names length and type, so it may open a chunk stream too (some peers start a
    // stream of protocol messages that way); formats 2 and 3 need an opened one.
    Stream* stream = Find(id, format <= 1);
    if (stream == nullptr || (format >= 2 && !stream->opened)) return false;
    const uint8_t* fields = header_ + basic;
    const int message = format == 0 ? 11 : format == 1 ? 7 : format == 2 ? 3 : 0;
    const bool has_extended = header_length_ > basic + message;
    const uint32_t extended = has_extended ? ReadBe32(header_ + basic + message) : 0;
    bool starts = true;
    if (format == 0) {
        const uint32_t timestamp = ReadBe24(fields);
        stream->timestamp = timestamp == 0xFFFFFF ? extended : timestamp;
        stream->delta = 0;
        stream->length = ReadBe24(fields + 3);
        stream->type = fields[6];
        stream->stream_id = static_cast<uint32_t>(fields[7]) | (static_cast<uint32_t>(fields[8]) << 8) |
                            (static_cast<uint32_t>(fields[9]) << 16) | (static_cast<uint32_t>(fields[10]) << 24);
        stream->extended = timestamp == 0xFFFFFF;
        stream->opened = true;
    } else if (format == 1 || format == 2) {
        const uint32_t delta = ReadBe24(fields);
        stream->delta = delta == 0xFFFFFF ? extended : delta;
        stream->extended = delta == 0xFFFFFF;
        if (format == 1) {
            stream->length = ReadBe24(fields + 3);
            stream->type = fields[6];
            stream->opened = true;
        }
        stream->timestamp += stream->delta;
    } else if (stream->received > 0) {
        starts = false;                               // the next chunk of the message in progress
    } else {
        stream->timestamp += stream->delta;
    }
    if (starts) {
        // A header that starts a message while another is unfinished drops the unfinished one.
        stream->received = 0;
        stream->announced = false;
        stream->body.clear();
        stream->start_block = header_block_;
        stream->start_offset = header_start_;
    }
    current_ = stream;
    chunk_left_ = std::min(chunk_size_, stream->length - stream->received);
    return true;
}

RtmpMessage RtmpChunkReader::Describe(const Stream& stream, int end) const
{
    RtmpMessage message;
    message.type = stream.type;
    message.stream_id = stream.stream_id;
    message.timestamp = stream.timestamp;
    message.length = stream.length;
    message.body = stream.body.data();
    message.body_kept = static_cast<uint32_t>(stream.body.size());
    message.first_chunk = stream.start_block == block_ ? stream.start_offset : -1;
    message.end = end;
    return message;
}

bool RtmpChunkReader::Deliver(Stream& stream, int end, const MessageFn& on_message)
{
    const RtmpMessage message = Describe(stream, end);
    stream.received = 0;
    if (message.type == kRtmpSetChunkSize) {
        if (message.body_kept < 4) {
            broken_ = true;
            return false;
        }
        const uint32_t size = ReadBe32(message.body) & 0x7FFFFFFF;
        if (size < 1) {
            broken_ = true;
            return false;
        }
        chunk_size_ = size;
    } else if (message.type == kRtmpAbort && message.body_kept >= 4) {
        if (Stream* aborted = Find(ReadBe32(message.body), false); aborted != nullptr && aborted != &stream) {
            aborted->received = 0;
            aborted->body.clear();
            if (current_ == aborted) chunk_left_ = 0;
        }
    }
    return on_message(message);
}

long RtmpChunkReader::Feed(const uint8_t* data, std::size_t length, const MessageFn& on_message, const MessageFn& on_start)
{
    if (broken_) return -1;
    ++block_;
    std::size_t at = 0;
    while (at < length) {
        if (chunk_left_ > 0 && current_ != nullptr) {
            Stream& stream = *current_;
            const uint32_t take = static_cast<uint32_t>(std::min<std::size_t>(chunk_left_, length - at));
            if (stream.body.size() < kept_body_) {
                const std::size_t keep = std::min<std::size_t>(take, kept_body_ - stream.body.size());
                stream.body.insert(stream.body.end(), data + at, data + at + keep);
            }
            at += take;
            chunk_left_ -= take;
            stream.received += take;
            if (on_start && !stream.announced && stream.received >= std::min<uint32_t>(2, stream.length)) {
                stream.announced = true;
                on_start(Describe(stream, static_cast<int>(at)));
            }
            if (stream.received == stream.length) {
                current_ = nullptr;
                if (!Deliver(stream, static_cast<int>(at), on_message)) return broken_ ? -1 : static_cast<long>(at);
            }
            continue;
        }
        if (header_length_ == 0) {
            header_start_ = static_cast<int>(at);
            header_block_ = block_;
        }
        // Header bytes one at a time until their number is known and reached.
        header_[header_length_++] = data[at++];
        const int size = HeaderSize();
        if (header_length_ < size) continue;
        if (!TakeHeader()) {
            broken_ = true;
            return -1;
        }
        header_length_ = 0;
        Stream& stream = *current_;
        if (stream.length == 0) {
            current_ = nullptr;
            if (!Deliver(stream, static_cast<int>(at), on_message)) return broken_ ? -1 : static_cast<long>(at);
        }
    }
    return static_cast<long>(at);
}
