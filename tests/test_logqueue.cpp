/* The log's queue: texts come out whole and in order, in batches; a full
   queue drops and counts, and says so once the output moves; the end of
   the process waits for the output only as long as it is given. */
#include "../common/keptlog.h"
#include "../common/logqueue.h"
#include "../common/platform.h"

#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>

static std::string TakeAll(int batch = 4096)
{
    std::string out;
    std::string buf(batch, '\0');
    for (int len; (len = LogQueueTake(&buf[0], batch)) > 0;)
        out.append(buf, 0, len);
    return out;
}

TEST(LogQueue, TextsComeOutInOrderInBatchesAndWakeTheConsumerOnce)
{
    TakeAll();
    EXPECT_EQ(LogQueuePut("- first\r\n"), 1) << "an idle consumer is woken";
    EXPECT_EQ(LogQueuePut("Unable to connect to WINS Server"), 0) << "and only once";
    EXPECT_EQ(LogQueuePut("- third\r\n"), 0);
    char buf[8];
    EXPECT_EQ(LogQueueTake(buf, sizeof(buf)), 8);
    EXPECT_EQ(std::string(buf, 8), "- first\r");
    EXPECT_EQ(LogQueuePut("- fourth\r\n"), 0) << "the consumer is still busy";
    EXPECT_EQ(TakeAll(5), "\n" "Unable to connect to WINS Server" "- third\r\n" "- fourth\r\n");
    EXPECT_EQ(LogQueuePut("- again\r\n"), 1) << "an emptied queue wakes its consumer again";
    EXPECT_EQ(TakeAll(), "- again\r\n");
}

TEST(LogQueue, FullQueueDropsWholeTextsAndSaysHowManyOnceOutputMoves)
{
    TakeAll();
    /* Fill the queue to the last byte with lines of 64 bytes. */
    std::string line(62, 'x');
    line += "\r\n";
    for (int i = 0; i < LOG_QUEUE_BYTES / 64; i++)
        LogQueuePut(line.c_str());
    for (int i = 0; i < 3; i++)
        LogQueuePut("- lost\r\n");
    /* Taking makes room: the report goes after what was queued and before
       anything put from now on. */
    char buf[64];
    ASSERT_EQ(LogQueueTake(buf, sizeof(buf)), 64);
    LogQueuePut("- later\r\n");
    std::string rest = TakeAll();
    std::string expectedEnd = line + "- Log output stalled, 3 lines dropped\r\n- later\r\n";
    ASSERT_GE(rest.size(), expectedEnd.size());
    EXPECT_EQ(rest.substr(rest.size() - expectedEnd.size()), expectedEnd);
    EXPECT_EQ(rest.size(), (size_t)LOG_QUEUE_BYTES - 64 + expectedEnd.size() - line.size());
    EXPECT_EQ(rest.find("lost"), std::string::npos);

    /* A text larger than the whole queue is dropped and reported too. */
    std::string huge(LOG_QUEUE_BYTES + 1, 'y');
    EXPECT_EQ(LogQueuePut(huge.c_str()), 0);
    EXPECT_EQ(TakeAll(), "- Log output stalled, 1 lines dropped\r\n");
}

TEST(LogQueue, DrainWaitsForTheLastBatchToBeWrittenButNotPastItsTime)
{
    TakeAll();
    /* No consumer takes anything: the wait ends at its time. */
    LogQueuePut("- stalled\r\n");
    int64_t start = PlatTickMs();
    EXPECT_EQ(LogQueueDrain(100), 0);
    EXPECT_GE(PlatTickMs() - start, 100);
    TakeAll();

    /* A consumer that is still writing what it took is waited for. */
    std::atomic<bool> bWritten(false);
    std::thread consumer([&bWritten] {
        char buf[64];
        LogQueueWaitTake(buf, sizeof(buf));
        PlatSleep(50);
        bWritten = true;
        LogQueueTake(buf, sizeof(buf));
    });
    LogQueuePut("Unable to connect to WINS Server");
    EXPECT_EQ(LogQueueDrain(10000), 1);
    EXPECT_TRUE(bWritten) << "drained before the last batch was written";
    consumer.join();
}

/* The kept log's stamps and file dates: UTC, leap days, the first second
   before 1970; a file is removed only when its name is a kept log's of a
   day before the first kept. */
TEST(KeptLog, StampsAndWhichFilesHaveExpired)
{
    const struct {
        int64_t seconds;
        const char *stamp;
    } stamps[] = {{0, "1970-01-01T00:00:00Z "},          {-1, "1969-12-31T23:59:59Z "},
                  {951782400, "2000-02-29T00:00:00Z "},  {1796850843, "2026-12-09T21:14:03Z "},
                  {4102444799, "2099-12-31T23:59:59Z "}};
    for (const auto &c : stamps) {
        char stamp[KEPT_STAMP_LEN + 1];
        KeptStamp(c.seconds, stamp);
        EXPECT_STREQ(stamp, c.stamp) << c.seconds;
    }
    EXPECT_EQ(KeptDayNumber(2026, 12, 9), 20796);
    const int64_t firstKept = KeptDayNumber(2026, 11, 10);
    const struct {
        const char *name;
        int expired;
    } files[] = {{"quillet-2026-11-09.log", 1}, {"quillet-2026-11-10.log", 0},
                 {"quillet-2000-01-01.log", 1}, {"quillet-2026-12-09.log", 0},
                 {"quillet-2000-01-01.txt", 0}, {"quillet-2000-01-01.log.1", 0},
                 {"other-2000-01-01.log", 0},   {"quillet-2000-13-01.log", 0},
                 {"quillet-2000-1-011.log", 0}};
    for (const auto &f : files)
        EXPECT_EQ(bKeptFileExpired(f.name, firstKept), f.expired) << f.name;
}
