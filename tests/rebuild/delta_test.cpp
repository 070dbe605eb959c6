// Delta objects: hand-built records at the edges of both files, and deltas
// the publisher's tool made with bsdiff applied to real programs.
#include "rebuild/rebuild.h"
#include "content/gzip_helpers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

using namespace testing_support;
using gzip_test::Sink;
using gzip_test::Source;

namespace {

std::string leb128(uint64_t v)
{
    std::string out;
    do {
        uint8_t byte = v & 0x7F;
        v >>= 7;
        out.push_back((char)(v ? byte | 0x80 : byte));
    } while (v);
    return out;
}

// A record: `add` bytes onto the old copy, `copy` new bytes, a move of
// `seek` (zigzag: 2n forward, 2n + 1 back n).
std::string record(const std::string &add, const std::string &copy, int64_t seek)
{
    uint64_t zigzag = seek >= 0 ? (uint64_t)seek * 2 : (uint64_t)-seek * 2 + 1;
    return leb128(add.size()) + leb128(copy.size()) + leb128(zigzag) + add + copy;
}

std::string le64(uint64_t v)
{
    std::string s;
    for (int i = 0; i < 8; i++)
        s.push_back((char)(v >> (8 * i)));
    return s;
}

std::string digest_of(const std::string &bytes)
{
    uint8_t d[SHA256_BYTES];
    EXPECT_TRUE(sha256_buffer(bytes.data(), bytes.size(), d));
    return std::string((const char *)d, SHA256_BYTES);
}

DeltaHeader header_of(const std::string &old_file, const std::string &new_file)
{
    DeltaHeader h;
    memset(&h, 0, sizeof h);
    h.old_size = old_file.size();
    h.new_size = new_file.size();
    memcpy(h.old_digest, digest_of(old_file).data(), SHA256_BYTES);
    memcpy(h.new_digest, digest_of(new_file).data(), SHA256_BYTES);
    return h;
}

// The delta object of `records` (one stored deflate block) for these files.
std::string delta_of(const DeltaHeader &h, const std::string &records)
{
    std::string stream = gzip_test::gzip_member(gzip_test::stored_deflate(records), records);
    return std::string("KVDL\x01\0\0\0", 8) + le64(h.old_size) + le64(h.new_size) +
           std::string((const char *)h.old_digest, SHA256_BYTES) +
           std::string((const char *)h.new_digest, SHA256_BYTES) + le64(stream.size()) + stream;
}

struct Old {
    std::string bytes;
    int reads = 0;
    int fail_at = -1;
};

int read_old(void *context, uint64_t offset, uint8_t *buffer, size_t length)
{
    Old *o = (Old *)context;
    if (o->reads++ == o->fail_at)
        return 0;
    if (offset > o->bytes.size() || length > o->bytes.size() - offset) {
        ADD_FAILURE() << "a read outside the old copy at " << offset;
        return 0;
    }
    memcpy(buffer, o->bytes.data() + offset, length);
    return 1;
}

DeltaResult apply(const std::string &delta, const DeltaHeader &expected, Old *old, Sink *sink,
                  size_t chunk = 7)
{
    Source src;
    src.data = delta;
    src.chunk = chunk;
    return delta_apply(gzip_test::source_read, &src, delta.size(), &expected, read_old, old,
                       gzip_test::sink_write, sink);
}

}  // namespace

TEST(Delta, RecordsAtTheEdgesOfBothFiles)
{
    const std::string OLD = "0123456789abcdefghij";
    const std::string NEW = "0123xy89abZZZZhij";
    std::string ones(4, '\1');
    std::string zeros(4, '\0');
    std::string two_zeros(2, '\0');
    // 0123 from old 0..3, "xy" new; skip 4567; 89ab from old 8..11 plus
    // zeros, "ZZZZ" new; back to... forward to h; hij to the end.
    std::string good = record(zeros, "xy", 4) + record(zeros, "ZZZZ", 5) +
                       record(std::string(3, '\0'), "", 0);
    // Added bytes that wrap around 256 next to ones that do not, over a run
    // of whole words and a tail: no carry may reach a neighbouring byte.
    const std::string WRAPS("\xd0\xff\x01\xd0\x80\x7f\xcf\x00\xd0\x9f\xce", 11);
    std::string wrapped = OLD.substr(0, WRAPS.size());
    for (size_t i = 0; i < WRAPS.size(); i++)
        wrapped[i] = (char)(uint8_t)(OLD[i] + WRAPS[i]);
    const DeltaHeader h = header_of(OLD, NEW);
    // Each delta is applied for the files it names (the first row's `h`
    // where it names others).
    struct Row {
        const char *why;
        std::string delta;
        DeltaResult want;
    } rows[] = {
        {"a valid delta", delta_of(h, good), DELTA_OK},
        {"added bytes are added to the old ones",
         delta_of(header_of(OLD, "1234"), record(ones, "", 0)), DELTA_OK},
        {"added bytes wrap within their byte",
         delta_of(header_of(OLD, wrapped), record(WRAPS, "", 0)), DELTA_OK},
        {"a move back and a pure move",
         delta_of(header_of(OLD, "ab01"),
                  record("", "", 10) + record(two_zeros, "", -12) + record(two_zeros, "", 18)),
         DELTA_OK},
        {"another magic", "KVDX" + delta_of(h, good).substr(4), DELTA_MALFORMED},
        {"a later version", delta_of(h, good).replace(4, 1, "\x02"), DELTA_UNKNOWN_VERSION},
        {"a non-zero reserved byte", delta_of(h, good).replace(6, 1, "\x01"), DELTA_MALFORMED},
        {"shorter than its header", delta_of(h, good).substr(0, 60), DELTA_MALFORMED},
        {"a stream length that is not the rest", delta_of(h, good) + "x", DELTA_MALFORMED},
        {"made for another old file", delta_of(header_of(OLD + "!", NEW), good),
         DELTA_NOT_FOR_THESE_FILES},
        {"an added run past the old copy's end",
         delta_of(header_of(OLD, std::string(21, 'q')), record(std::string(21, '\0'), "", 0)),
         DELTA_OUTSIDE_OLD},
        {"a move back before its start", delta_of(h, record(zeros, "", -5)), DELTA_OUTSIDE_OLD},
        {"a move past its end", delta_of(h, record(zeros, "", 17)), DELTA_OUTSIDE_OLD},
        {"a move to its very end is allowed, then new bytes",
         delta_of(header_of(OLD, "0123!"), record(zeros, "", 16) + record("", "!", 0)), DELTA_OK},
        {"new bytes past the new size", delta_of(h, record(zeros, std::string(14, 'x'), 0)),
         DELTA_PAST_NEW_SIZE},
        {"records that stop short of the new size", delta_of(h, record(zeros, "xy", 4)),
         DELTA_ENDS_EARLY},
        {"a record cut in its numbers", delta_of(h, good + "\x80"), DELTA_MALFORMED},
        {"a record after the file is whole", delta_of(h, good + record("", "", 0)),
         DELTA_MALFORMED},
        {"a number beyond 64 bits",
         delta_of(h, std::string(9, '\xff') + "\x02" + leb128(0) + leb128(0)), DELTA_MALFORMED},
        {"a cut gzip member",
         [&] {
             std::string d = delta_of(h, good);
             d.resize(d.size() - 3);
             return d.replace(88, 8, le64(d.size() - DELTA_HEADER_BYTES));
         }(),
         DELTA_MALFORMED},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        DeltaHeader expected = h;
        if (row.want != DELTA_NOT_FOR_THESE_FILES && row.delta.size() >= DELTA_HEADER_BYTES)
            delta_parse_header((const uint8_t *)row.delta.data(), row.delta.size(), &expected);
        Old old;
        old.bytes = OLD;
        Sink sink;
        DeltaResult got = apply(row.delta, expected, &old, &sink);
        EXPECT_EQ(got, row.want) << delta_result_text(got);
        if (row.want == DELTA_OK) {
            EXPECT_EQ(digest_of(sink.out),
                      std::string((const char *)expected.new_digest, SHA256_BYTES));
        }
    }
}

TEST(Delta, FailuresOfTheOldCopyAndTheSinkAreNamed)
{
    const std::string OLD(200000, 'o');
    std::string NEW = OLD;
    NEW[150000] = 'n';
    std::string diff(200000, '\0');
    diff[150000] = 'n' - 'o';
    const DeltaHeader h = header_of(OLD, NEW);
    std::string records;
    for (size_t at = 0; at < diff.size(); at += 60000) {
        size_t n = diff.size() - at < 60000 ? diff.size() - at : 60000;
        records += record(diff.substr(at, n), "", 0);
    }
    // Stored blocks hold 65535 bytes each: one record a block.
    std::string deflate;
    for (size_t at = 0; at < records.size();) {
        size_t n = records.size() - at < 65535 ? records.size() - at : 65535;
        std::string block = gzip_test::stored_deflate(records.substr(at, n));
        if (at + n < records.size())
            block[0] &= ~1;  // not the final block
        deflate += block;
        at += n;
    }
    std::string stream = gzip_test::gzip_member(deflate, records);
    std::string delta = delta_of(h, "").substr(0, 88) + le64(stream.size()) + stream;

    Old old;
    old.bytes = OLD;
    Sink sink;
    ASSERT_EQ(apply(delta, h, &old, &sink, GZIP_IO_CHUNK_BYTES), DELTA_OK);
    EXPECT_EQ(sink.out, NEW);
    for (size_t w : sink.writes)
        EXPECT_LE(w, 65536u);

    Old failing;
    failing.bytes = OLD;
    failing.fail_at = 2;
    Sink unused;
    EXPECT_EQ(apply(delta, h, &failing, &unused, GZIP_IO_CHUNK_BYTES), DELTA_OLD_READ_FAILED);

    Old fine;
    fine.bytes = OLD;
    Sink refusing;
    refusing.fail_at = 1;
    EXPECT_EQ(apply(delta, h, &fine, &refusing, GZIP_IO_CHUNK_BYTES), DELTA_WRITE_FAILED);
}

// Deltas the publisher's tool made with bsdiff between two builds of a
// program (tests/rebuild/make_deltas.py): applied here, they give the new
// build byte for byte.
TEST(Delta, ThePublishersDeltasOfRealProgramsApply)
{
    const std::string dir = KORVANTH_BINARY_DIR "/test-output/deltas/";
    std::string list;
    ASSERT_TRUE(read_file(wine_path(dir + "list.txt"), &list));
    int pairs = 0;
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find('\n', at);
        std::string name = list.substr(at, end - at);
        at = end == std::string::npos ? list.size() : end + 1;
        if (name.empty())
            continue;
        SCOPED_TRACE(name);
        std::string old_bytes, new_bytes, delta;
        ASSERT_TRUE(read_file(wine_path(dir + name + ".old"), &old_bytes));
        ASSERT_TRUE(read_file(wine_path(dir + name + ".new"), &new_bytes));
        ASSERT_TRUE(read_file(wine_path(dir + name + ".delta"), &delta));
        const DeltaHeader h = header_of(old_bytes, new_bytes);
        Old old;
        old.bytes = old_bytes;
        Sink sink;
        EXPECT_EQ(apply(delta, h, &old, &sink, GZIP_IO_CHUNK_BYTES), DELTA_OK);
        EXPECT_TRUE(sink.out == new_bytes);
        EXPECT_LT(delta.size(), new_bytes.size() / 2);
        pairs++;
    }
    EXPECT_GE(pairs, 2);
}
