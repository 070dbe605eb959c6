// Decoding and hashing on several threads at once: the decoder block and the
// file-read blocks kept between calls for speed are never shared by two
// calls, so every thread gets exactly the results one thread alone gets.
#include "content/content.h"
#include "gzip_helpers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace gzip_test;
using namespace testing_support;

namespace {

const int THREADS = 4;
const int ROUNDS = 12;

std::string corpus_bytes(const std::string &name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(std::string(CONTENT_CORPUS_DIR) + "/" + name), &bytes))
        << name;
    return bytes;
}

struct Worker {
    std::string member;        // a gzip member in memory
    std::string original;      // what it decodes to
    std::wstring file;         // a file of over 4 MiB, `original` repeated
    std::wstring out;          // where gunzip_file_hashed writes, this job's own
    std::wstring gz_file;      // a file holding `member`
    uint8_t digest[SHA256_BYTES];       // of `original`
    uint8_t file_digest[SHA256_BYTES];  // of `file`
    int wrong = 0;             // rounds with any result unlike the expected
};

DWORD WINAPI run_job(void *arg)
{
    Worker *job = (Worker *)arg;
    for (int round = 0; round < ROUNDS; round++) {
        Sink sink;
        uint8_t from_buffer[SHA256_BYTES], from_file[SHA256_BYTES], unpacked[SHA256_BYTES];
        char error[GZIP_ERROR_TEXT_BYTES];
        bool right = decode(job->member, &sink) == GZIP_OK && sink.out == job->original &&
                     sha256_buffer(job->original.data(), job->original.size(), from_buffer) &&
                     memcmp(from_buffer, job->digest, SHA256_BYTES) == 0 &&
                     sha256_file(job->file.c_str(), from_file) &&
                     memcmp(from_file, job->file_digest, SHA256_BYTES) == 0 &&
                     gunzip_file_hashed(job->gz_file.c_str(), job->out.c_str(), unpacked, error) &&
                     memcmp(unpacked, job->digest, SHA256_BYTES) == 0;
        if (!right)
            job->wrong++;
    }
    return 0;
}

}  // namespace

TEST(ContentThreads, DecodesAndHashesAtOnceGiveEachThreadItsOwnResults)
{
    // Different members per thread, and files past the size where
    // sha256_file reads ahead on a thread of its own.
    const char *members[THREADS][2] = {
        {"text.txt.gzip9.gz", "text.txt"},
        {"binary.bin.libdeflate12.gz", "binary.bin"},
        {"repeat.bin.pigz.gz", "repeat.bin"},
        {"random.bin.zstored.gz", "random.bin"},
    };
    TempDir dir;
    Worker jobs[THREADS];
    for (int i = 0; i < THREADS; i++) {
        Worker &job = jobs[i];
        job.member = corpus_bytes(members[i][0]);
        job.original = corpus_bytes(members[i][1]);
        ASSERT_FALSE(job.member.empty() || job.original.empty()) << members[i][0];
        std::string big = job.original;
        while (big.size() < 5000000)
            big += job.original;
        job.file = dir / (L"file" + std::to_wstring(i));
        job.gz_file = dir / (L"member" + std::to_wstring(i) + L".gz");
        job.out = dir / (L"out" + std::to_wstring(i));
        ASSERT_TRUE(write_file(job.gz_file, job.member));
        ASSERT_TRUE(write_file(job.file, big));
        ASSERT_EQ(sha256_buffer(job.original.data(), job.original.size(), job.digest), 1);
        ASSERT_EQ(sha256_buffer(big.data(), big.size(), job.file_digest), 1);
    }
    HANDLE threads[THREADS];
    for (int i = 0; i < THREADS; i++) {
        threads[i] = CreateThread(nullptr, 0, run_job, &jobs[i], 0, nullptr);
        ASSERT_TRUE(threads[i]);
    }
    WaitForMultipleObjects(THREADS, threads, TRUE, INFINITE);
    for (int i = 0; i < THREADS; i++) {
        CloseHandle(threads[i]);
        EXPECT_EQ(jobs[i].wrong, 0) << members[i][0];
    }
}
