// Arming: the first process of a machine creates and initialises the shared
// buffer and its semaphore sets, later ones attach; segments that are not a
// trace buffer are refused; the selection fields derived from the templates.
#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "facility.h"
#include "ipc_testing.h"

namespace xtr::testing {
namespace {

using Texts = std::vector<std::string>;

TEST(Arming, FirstProcessCreatesLaterOnesAttach) {
    // The premise of the id-0 check below: in a new namespace the first
    // semaphore set gets the id 0.
    isolated([] { EXPECT_EQ(semget(IPC_PRIVATE, 1, 0600), 0); });

    isolated([] {
        Gate firstTraced;
        const pid_t first = getpid();
        pid_t second = spawn([&] {  // forked before the first process armed
            firstTraced.pass();
            errno = ENOTTY;
            xtr_trace("XARMTSTF: from the second process");
            EXPECT_EQ(errno, ENOTTY);
            EXPECT_EQ(xtr_was_trace_running(), 1);
            EXPECT_EQ(xtr_getpid(), static_cast<unsigned long>(getpid()));
            auto e = sharedEntries();
            ASSERT_EQ(e.size(), 2u);
            EXPECT_EQ(e[0].text, "XARMTSTF: from the first process");
            EXPECT_EQ(e[0].head.pid, static_cast<uint32_t>(first));
            EXPECT_EQ(e[1].head.pid, static_cast<uint32_t>(getpid()));
            EXPECT_EQ(privateRingTexts(), Texts{"XARMTSTF: from the second process"});
        });

        xtr_trace("XARMTSTF: from the first process");
        EXPECT_EQ(xtr_was_trace_running(), 0);
        EXPECT_EQ(xtr_getpid(), static_cast<unsigned long>(first));
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(std::memcmp(h->eyecatcher, "TRACE BUFFER\0\0\0\0", 16), 0);
        EXPECT_EQ(h->bInitialized, 1);
        EXPECT_EQ(h->max_file_size, 0x800000u);
        EXPECT_EQ(h->abs_max_file_size, 0x7ff00000u);

        shmid_ds ds{};
        ASSERT_EQ(shmctl(shmget(XTR_SHM_KEY, 0, 0), IPC_STAT, &ds), 0);
        EXPECT_EQ(ds.shm_segsz, sizeof(TRACE_HDR));
        EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
        EXPECT_EQ(semget(XTR_LOCK_SEM_KEY, 0, 0), static_cast<int>(h->uBufferLock));
        EXPECT_EQ(semget(XTR_EVENT_SEM_KEY, 0, 0), static_cast<int>(h->uEventSem));
        // The lock set first got the id 0; it was replaced, and no set keeps that id.
        EXPECT_NE(h->uBufferLock, 0u);
        EXPECT_NE(h->uEventSem, 0u);
        EXPECT_EQ(semctl(0, 0, GETVAL), -1);
        EXPECT_EQ(semValue(h->uBufferLock), 0);
        ASSERT_EQ(xtr_lock_buf(), 0);
        EXPECT_EQ(semValue(h->uBufferLock), 1);
        ASSERT_EQ(xtr_unlock_buf(), 0);
        EXPECT_EQ(semValue(h->uBufferLock), 0);

        firstTraced.open();
        EXPECT_TRUE(exitedCleanly(reap(second)));
        EXPECT_EQ(sharedTexts(), (Texts{"XARMTSTF: from the first process", "XARMTSTF: from the second process"}));
    });
}

TEST(Arming, SegmentThatIsNotATraceBufferIsRefusedUntilItIsGone) {
    isolated([] {
        int id = shmget(XTR_SHM_KEY, sizeof(TRACE_HDR), IPC_CREAT | IPC_EXCL | 0666);
        ASSERT_GE(id, 0);
        auto *raw = static_cast<TRACE_HDR *>(shmat(id, nullptr, 0));
        ASSERT_NE(raw, reinterpret_cast<void *>(-1));
        raw->bInitialized = 1;
        // Only the 13 bytes "TRACE BUFFER" and its NUL make a trace buffer.
        const std::pair<std::string, std::string> cases[] = {{"GARBAGE BUFFER!!", "GARBAGE BUFFER!!"},
                                                             {"TRACE BUFFERS", "   TRACE BUFFERS"}};
        for (const auto &[eye, shown] : cases) {
            std::memset(raw->eyecatcher, 0, sizeof raw->eyecatcher);
            std::memcpy(raw->eyecatcher, eye.data(), eye.size());
            StdoutCapture out;
            errno = EXDEV;
            xtr_trace("XARMTSTF: lost");
            EXPECT_EQ(errno, EXDEV);
            EXPECT_EQ(out.take(), "Opened an incorrect shared memory buffer: eycatcher=" + shown);
        }
        EXPECT_EQ(xtr_get_hdr(), nullptr);
        EXPECT_EQ(xtr_getpid(), 0ul);
        EXPECT_TRUE(privateRingTexts().empty());
        shmid_ds ds{};
        ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
        EXPECT_EQ(ds.shm_nattch, 1u);  // the refused segment was detached again
        EXPECT_EQ(raw->end, 0u);
        EXPECT_EQ(raw->uBufferLock, 0u);

        // Once the segment is removed, the next call creates a real buffer.
        shmdt(raw);
        ASSERT_EQ(shmctl(id, IPC_RMID, nullptr), 0);
        xtr_trace("XARMTSTF: recorded");
        ASSERT_NE(xtr_get_hdr(), nullptr);
        EXPECT_EQ(sharedTexts(), Texts{"XARMTSTF: recorded"});
    });
}

TEST(Arming, SmallerSegmentUnderTheKeyFailsEveryCall) {
    isolated([] {
        ASSERT_GE(shmget(XTR_SHM_KEY, 4096, IPC_CREAT | IPC_EXCL | 0666), 0);
        const std::string message = "Error retrieving message shared memory block (errno=22 Invalid argument)\n";
        for (int attempt = 0; attempt < 2; attempt++) {
            StdoutCapture out;
            errno = ENOTTY;
            xtr_trace("XARMTSTF: attempt %d", attempt);
            EXPECT_EQ(errno, ENOTTY);
            EXPECT_EQ(out.take(), message);
        }
        StdoutCapture out;
        errno = ENOTTY;
        EXPECT_EQ(xtr::arm_trace(), -EINVAL);
        EXPECT_EQ(errno, ENOTTY);
        EXPECT_EQ(out.take(), message);
        EXPECT_EQ(xtr_get_hdr(), nullptr);
        EXPECT_TRUE(privateRingTexts().empty());
    });
}

TEST(Arming, SemaphoreSetsLeftUnderTheKeysAreTakenOver) {
    isolated([] {
        ASSERT_EQ(semget(IPC_PRIVATE, 1, 0600), 0);  // so the left-over sets get ids other than 0
        const int lock = semget(XTR_LOCK_SEM_KEY, 1, IPC_CREAT | IPC_EXCL | 0666);
        const int event = semget(XTR_EVENT_SEM_KEY, 1, IPC_CREAT | IPC_EXCL | 0666);
        ASSERT_GT(lock, 0);
        ASSERT_GT(event, 0);
        StdoutCapture out;
        xtr_trace("XARMTSTF: over old semaphores");
        EXPECT_EQ(out.take(), "");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(xtr_was_trace_running(), 0);
        EXPECT_EQ(h->uBufferLock, static_cast<uint32_t>(lock));
        EXPECT_EQ(h->uEventSem, static_cast<uint32_t>(event));
        EXPECT_EQ(sharedTexts(), Texts{"XARMTSTF: over old semaphores"});
        ASSERT_EQ(xtr_lock_buf(), 0);
        EXPECT_EQ(semValue(lock), 1);
        ASSERT_EQ(xtr_unlock_buf(), 0);
        ASSERT_EQ(xtrResetEventSem(), 0);
        EXPECT_EQ(semValue(event), 1);
    });
}

// The header a real creator left, and a view of a segment that a creator has
// only just made; the timer's handler plays the creator finishing its work.
TRACE_HDR finished;
TRACE_HDR *unfinished;

void finishInitialisation(int) {
    constexpr size_t rest = offsetof(TRACE_HDR, uBufferLock);  // everything after bInitialized
    std::memcpy(reinterpret_cast<char *>(unfinished) + rest, reinterpret_cast<const char *>(&finished) + rest,
                sizeof finished - rest);
    std::memcpy(unfinished->eyecatcher, finished.eyecatcher, 16);
    reinterpret_cast<volatile int32_t &>(unfinished->bInitialized) = 1;
}

TEST(Arming, AttacherWaitsForTheCreatorToFinish) {
    isolated([] {
        ASSERT_TRUE(exitedCleanly(reap(spawn([] { xtr_trace("XARMTSTF: creator"); }))));
        const int old = shmget(XTR_SHM_KEY, 0, 0);
        void *at = shmat(old, nullptr, 0);
        ASSERT_NE(at, reinterpret_cast<void *>(-1));
        std::memcpy(&finished, at, sizeof finished);
        shmdt(at);
        ASSERT_EQ(shmctl(old, IPC_RMID, nullptr), 0);

        const int fresh = shmget(XTR_SHM_KEY, sizeof(TRACE_HDR), IPC_CREAT | IPC_EXCL | 0666);
        ASSERT_GE(fresh, 0);
        unfinished = static_cast<TRACE_HDR *>(shmat(fresh, nullptr, 0));
        struct sigaction sa {};
        sa.sa_handler = finishInitialisation;
        ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
        // Fires while the attacher waits: it waits far longer than this.
        itimerval soon{{0, 0}, {0, 20000}};
        ASSERT_EQ(setitimer(ITIMER_REAL, &soon, nullptr), 0);
        StdoutCapture out;
        xtr_trace("XARMTSTF: attached");
        EXPECT_EQ(out.take(), "");
        ASSERT_NE(xtr_get_hdr(), nullptr);
        EXPECT_EQ(xtr_was_trace_running(), 1);
        EXPECT_EQ(sharedTexts(), (Texts{"XARMTSTF: creator", "XARMTSTF: attached"}));
    });
}

TEST(ControlFields, DerivedFromTheTemplates) {
    isolated([] {
        xtr_trace("XARMTSTD: arm");
        TRACE_HDR *h = xtr_get_hdr();
        ASSERT_NE(h, nullptr);
        auto row = [&](int k) { return std::vector<int>(h->type[k], h->type[k] + 1 + h->type[k][0]); };
        auto bytes4 = [](const unsigned char *p) { return std::string(reinterpret_cast<const char *>(p), 4); };
        using Row = std::vector<int>;

        // The templates of a new buffer: template 0 selects every T and F point.
        EXPECT_EQ(std::memcmp(h->template_[0].tc, "*      ", 7), 0);
        EXPECT_EQ(bytes4(h->template_[0].criteria), "++  ");
        for (int i = 1; i < XTR_TEMPLATES; i++) EXPECT_EQ(h->template_[i].tc[0], ' ') << i;
        EXPECT_EQ(bytes4(h->trace_all), std::string("\1\1\0\0", 4));
        EXPECT_EQ(bytes4(h->trace_none), std::string("\0\0\1\1", 4));
        EXPECT_EQ(row(0), (Row{1, 0}));
        EXPECT_EQ(row(1), (Row{1, 0}));
        EXPECT_EQ(row(2), Row{0});
        EXPECT_EQ(h->active, 1);

        clearTemplates();
        setTemplate(1, "    ABC", "++++");  // blank first character: not in use
        setTemplate(3, "xdfc*  ", "yn  ");
        xtr_build_control_information();
        EXPECT_EQ(std::memcmp(h->template_[3].tc, "XDFC", 4), 0);
        EXPECT_EQ(h->template_length[3], 4);
        EXPECT_EQ(bytes4(h->template_[3].criteria), "+-  ");
        EXPECT_EQ(row(0), (Row{1, 3}));
        EXPECT_EQ(row(1), (Row{1, 3}));
        EXPECT_EQ(row(2), Row{0});
        EXPECT_EQ(row(3), Row{0});
        EXPECT_EQ(bytes4(h->trace_all), std::string(4, '\0'));
        EXPECT_EQ(bytes4(h->trace_none), std::string("\0\0\1\1", 4));
        EXPECT_EQ(bytes4(h->template_[1].criteria), "++++");  // left as it was
        EXPECT_EQ(h->template_length[1], 0);
        EXPECT_EQ(h->active, 1);

        // The other spellings; the pattern ends at the first character outside 0-Z.
        setTemplate(3, "ab9_x  ", "1!Nq");
        xtr_build_control_information();
        EXPECT_EQ(std::memcmp(h->template_[3].tc, "AB9_x", 5), 0);
        EXPECT_EQ(h->template_length[3], 3);
        EXPECT_EQ(bytes4(h->template_[3].criteria), "+-- ");
        EXPECT_EQ(row(2), (Row{1, 3}));
        EXPECT_EQ(row(3), Row{0});

        // A criteria named twice is never traced wholesale.
        setTemplate(0, "*      ", "++  ");
        setTemplate(3, "XDFC   ", " -  ");
        xtr_build_control_information();
        EXPECT_EQ(row(1), (Row{2, 0, 3}));
        EXPECT_EQ(bytes4(h->trace_all), std::string("\1\0\0\0", 4));
        EXPECT_EQ(bytes4(h->trace_none), std::string("\0\0\1\1", 4));

        // Selecting everything, but only for one process: not wholesale either.
        clearTemplates();
        setTemplate(0, "*      ", "++  ", static_cast<uint32_t>(getpid()));
        xtr_build_control_information();
        EXPECT_EQ(bytes4(h->trace_all), std::string(4, '\0'));
        EXPECT_EQ(row(0), (Row{1, 0}));

        clearTemplates();
        xtr_build_control_information();
        EXPECT_EQ(h->active, 0);
        EXPECT_EQ(bytes4(h->trace_none), std::string(4, '\1'));
        for (int k = 0; k < XTR_CRITERIA; k++) EXPECT_EQ(row(k), Row{0});
    });
}

}  // namespace
}  // namespace xtr::testing
