// Ring insertion: wrap markers, discarding the oldest entries, repair of
// offsets that do not fit the ring.
#include "ring.h"
#include "recording.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace xtr {
namespace {

struct Entry {
    uint32_t offset;
    std::string text;
};

// A shared header on the heap, so the tests can set its offsets freely.
class SharedRing : public ::testing::Test {
protected:
    void SetUp() override { hdr_ = std::make_unique<TRACE_HDR>(); }

    RingRef ref() { return RingRef{&hdr_->begin, &hdr_->end, hdr_->pbuffer, XTR_RING_SIZE, hdr_.get()}; }
    void insert(const std::string &text) {
        ringInsert(ref(), text.c_str(), static_cast<int>(text.size()), Stamp{0x4D2, 0x4D3, 1000000000, 42});
    }
    uint16_t lengthAt(uint32_t off) {
        uint16_t v;
        std::memcpy(&v, hdr_->pbuffer + off, 2);
        return v;
    }
    std::vector<Entry> entries() {
        std::vector<Entry> all;
        walkRing(hdr_->pbuffer, XTR_RING_SIZE, hdr_->begin, hdr_->end, [&](const MSG &m, std::string_view t) {
            all.push_back({static_cast<uint32_t>(reinterpret_cast<const unsigned char *>(t.data()) - hdr_->pbuffer -
                                                 XTR_MSG_HDR_LEN),
                           std::string(t)});
            EXPECT_EQ(m.pid, 0x4D2u);
            EXPECT_EQ(m.tid, 0x4D3u);
            EXPECT_EQ(m.time, 1000000000u);
            EXPECT_EQ(m.usecs, 42u);
        });
        return all;
    }

    std::unique_ptr<TRACE_HDR> hdr_;
};

TEST_F(SharedRing, EntryLayoutAndPacking) {
    insert("XREMHSTF: one");
    insert("XREMHSTF: second");
    EXPECT_EQ(lengthAt(0), 13 + 24);
    EXPECT_EQ(hdr_->end, 13u + 24 + 16 + 24);
    EXPECT_EQ(hdr_->pbuffer[20 + 13], '\0');
    auto e = entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[1].offset, 37u);
    EXPECT_EQ(e[1].text, "XREMHSTF: second");
}

TEST_F(SharedRing, WrapAtTheTailWithoutDiscarding) {
    hdr_->begin = hdr_->end = hdr_->oldest = 65500;
    insert(std::string(76, 'x'));  // an entry of 100 bytes
    EXPECT_EQ(lengthAt(65500), 0);  // the wrap marker
    EXPECT_EQ(hdr_->end, 100u);
    EXPECT_EQ(hdr_->begin, 65500u);
    EXPECT_EQ(hdr_->lost_msg, 0u);
}

TEST_F(SharedRing, FullRingLosesItsOldestEntriesFirst) {
    const std::string text(476, 'a');  // 500-byte entries
    for (int i = 0; i < 200; i++) insert(text + std::to_string(i % 10));
    auto e = entries();
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.back().text, text + "9");
    EXPECT_LT(e.size(), 132u);  // 65536 / 501: the ring never holds more
    EXPECT_GT(e.size(), 125u);
    EXPECT_NE(hdr_->begin, hdr_->end);
    // Nothing was taken by a reader: each discarded oldest entry counts as lost.
    EXPECT_EQ(hdr_->lost_msg, 200u - e.size());
    EXPECT_EQ(hdr_->oldest, hdr_->begin);
}

TEST_F(SharedRing, EntryExactlyFillingTheGapDiscardsOneMore) {
    for (int i = 0; i < 140; i++) insert(std::string(476, 'b'));  // wrapped: end below begin
    ASSERT_LT(hdr_->end, hdr_->begin);
    const uint32_t oldBegin = hdr_->begin, gap = hdr_->begin - hdr_->end;
    const size_t before = entries().size();
    insert(std::string(gap - 24, 'c'));
    EXPECT_EQ(hdr_->begin, oldBegin + 500);  // exactly one entry discarded
    EXPECT_EQ(entries().size(), before);
    EXPECT_EQ(hdr_->lost_msg, 140u - before + 1);
}

TEST_F(SharedRing, OffsetsBeyondTheRingAreRepaired) {
    insert("XREMHSTF: a");
    hdr_->end = 70000;
    testing::internal::CaptureStdout();
    insert("XREMHSTF: b");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid pxtr_hdr->end=70000\n");
    EXPECT_EQ(hdr_->end, 35u);  // written at 0
    EXPECT_EQ(hdr_->oldest, hdr_->begin);

    hdr_->begin = 0xFFFFFFF0u;
    testing::internal::CaptureStdout();
    insert("XREMHSTF: c");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid pxtr_hdr->begin=-16\n");
    EXPECT_EQ(hdr_->oldest, 0u);
    EXPECT_LE(hdr_->end, XTR_RING_SIZE);
}

TEST_F(SharedRing, CorruptLengthWhileDiscardingIsRepaired) {
    hdr_->begin = 60000;
    hdr_->end = 59700;  // a gap of 300 bytes, too small for the entry
    uint16_t bad = 9000;  // 60000 + 9000 runs past the ring
    std::memcpy(hdr_->pbuffer + 60000, &bad, 2);
    testing::internal::CaptureStdout();
    insert(std::string(500, 'z'));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Invalid pxtr_hdr->begin=60000 + p->length=9000\n", 0), 0u) << "[" << out << "]";
    EXPECT_LE(hdr_->end, XTR_RING_SIZE);
    EXPECT_LE(hdr_->begin, XTR_RING_SIZE);

    // A length that fits the ring but that no writer makes (below 24 or
    // above 536) is damage too, by the rule of every walk: discarding does
    // not step into the middle of other entries on its word.
    for (uint16_t odd : {uint16_t{7}, uint16_t{600}}) {
        hdr_ = std::make_unique<TRACE_HDR>();
        for (int i = 0; i < 140; i++) insert(std::string(476, 'b'));  // wrapped: end below begin
        const uint32_t at = hdr_->begin;
        std::memcpy(hdr_->pbuffer + at, &odd, 2);
        testing::internal::CaptureStdout();
        insert(std::string(476, 'c'));
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "Invalid pxtr_hdr->begin=" + std::to_string(at) + " + p->length=" + std::to_string(odd) + "\n");
        EXPECT_EQ(lengthAt(at), 0) << "repaired to a wrap marker";
        const RingWalk w =
            walkRing(hdr_->pbuffer, XTR_RING_SIZE, hdr_->begin, hdr_->end, [](const MSG &, std::string_view) {});
        EXPECT_FALSE(w.damaged) << odd;
        EXPECT_EQ(entries().back().text, std::string(476, 'c'));
    }
}

TEST_F(SharedRing, ReaderFlagsWithoutALiveReaderAreClearedAndPauseNobody) {
    hdr_->cont = hdr_->cont_running = 1;
    hdr_->count = 100;
    xtr_add_entry("XREMHSTF: a", 11, 1, 2, 3, 4, hdr_.get());  // count 101, no reader registered
    EXPECT_EQ(hdr_->cont, 0);
    EXPECT_EQ(hdr_->cont_running, 0);

    // A registration whose reader shows no progress (dead, stopped, or
    // written by anyone) is still posted for, but pauses nobody.
    hdr_->cont = hdr_->cont_running = 1;
    hdr_->pid = 1;
    hdr_->priority = 1;
    hdr_->count = 300;
    const unsigned pauses = readerPauses();
    for (int i = 0; i < 50; i++) xtr_add_entry("XREMHSTF: b", 11, 1, 2, 3, 4, hdr_.get());
    EXPECT_FALSE(pauseForReader());
    EXPECT_EQ(hdr_->cont, 1);
    // A reader that takes entries (count set back, heartbeat moved) is paused for ...
    hdr_->count = 250;
    xtr_add_entry("XREMHSTF: c", 11, 1, 2, 3, 4, hdr_.get());
    EXPECT_TRUE(pauseForReader());
    hdr_->cont_running++;
    xtr_add_entry("XREMHSTF: d", 11, 1, 2, 3, 4, hdr_.get());
    EXPECT_TRUE(pauseForReader());
    EXPECT_EQ(readerPauses(), pauses + 2);
    // ... until it has shown nothing for a second.
    usleep(1100 * 1000);
    xtr_add_entry("XREMHSTF: e", 11, 1, 2, 3, 4, hdr_.get());
    EXPECT_FALSE(pauseForReader());
    // A new registration proves itself first.
    hdr_->pid = 2;
    xtr_add_entry("XREMHSTF: f", 11, 1, 2, 3, 4, hdr_.get());
    EXPECT_FALSE(pauseForReader());
}

TEST(PrivateRing, RepairsSilentlyAndKeepsItsSize) {
    xtr_hdrP.begin = 0;
    xtr_hdrP.end = 50000;  // beyond the private ring
    testing::internal::CaptureStdout();
    xtr_add_entryP("XREMHSTF: p", 11, 1, 2, 3, 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(xtr_hdrP.end, 35u);
    for (int i = 0; i < 1000; i++) xtr_add_entryP(std::string(500, 'q').c_str(), 500, 1, 2, 3, 4);
    EXPECT_LE(xtr_hdrP.end, XTR_P_RING_SIZE);
    EXPECT_NE(xtr_hdrP.begin, xtr_hdrP.end);
}

}  // namespace
}  // namespace xtr
