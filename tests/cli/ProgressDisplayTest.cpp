#include <gtest/gtest.h>

#include <sstream>

#include "common/ProgressDisplay.h"

TEST(ProgressDisplay, FormatsRateTimeLeftAndLoss) {
    // 50 of 200 samples in 10 s: 5 per second, 150 left take 30 s.
    EXPECT_EQ(ProgressDisplay::Line({1, 2, 50, 200, 10.0, 0.25}),
              "epoch 1/2  50/200 samples  5.0/s  ETA 0:30  loss 0.2500");
    // 1000 of 10000 in 40 s: 25 per second, 9000 left take 360 s.
    EXPECT_EQ(ProgressDisplay::Line({2, 3, 1000, 10000, 40.0, 0.123456}),
              "epoch 2/3  1000/10000 samples  25.0/s  ETA 6:00  loss 0.1235");
    EXPECT_EQ(ProgressDisplay::Line({1, 1, 0, 10, 0.0, 0.0}),
              "0/10 samples  -/s  ETA -  loss 0.0000");
    EXPECT_EQ(ProgressDisplay::Clock(0.4), "0:00");
    EXPECT_EQ(ProgressDisplay::Clock(59.6), "1:00");
    EXPECT_EQ(ProgressDisplay::Clock(3725), "1:02:05");
}

TEST(ProgressDisplay, RedrawsOneLineOnATerminal) {
    std::ostringstream out;
    ProgressDisplay display(out, true);
    display.Update({1, 1, 1, 100, 0.0, 0.5});   // starts the clock only
    display.Update({1, 1, 10, 100, 0.1, 0.5});  // too soon
    EXPECT_EQ(out.str(), "");
    display.Update({1, 1, 100, 1000, 10.0, 0.5});
    display.Update({1, 1, 200, 1000, 20.0, 0.5});
    EXPECT_EQ(out.str(),
              "\r100/1000 samples  10.0/s  ETA 1:30  loss 0.5000"
              "\r200/1000 samples  10.0/s  ETA 1:20  loss 0.5000");
    out.str("");
    // A shorter line blanks out what is left of the longer one, then ends it.
    display.Finish({1, 1, 5, 10, 1.0, 0.5});
    EXPECT_EQ(out.str(),
              "\r5/10 samples  5.0/s  ETA 0:01  loss 0.5000" + std::string(5, ' ') + "\n");
}

TEST(ProgressDisplay, WritesPlainLinesNowAndThenOtherwise) {
    std::ostringstream out;
    ProgressDisplay display(out, false);
    display.Update({1, 1, 1, 100, 0.0, 0.5});
    display.Update({1, 1, 10, 100, 5.0, 0.5});  // within ten seconds of the start
    EXPECT_EQ(out.str(), "");
    display.Update({1, 1, 20, 100, 10.0, 0.5});
    display.Update({1, 1, 30, 100, 15.0, 0.5});
    EXPECT_EQ(out.str(), "20/100 samples  2.0/s  ETA 0:40  loss 0.5000\n");
    display.Finish({1, 1, 100, 100, 50.0, 0.25});
    EXPECT_EQ(out.str(),
              "20/100 samples  2.0/s  ETA 0:40  loss 0.5000\n"
              "100/100 samples  2.0/s  ETA 0:00  loss 0.2500\n");
}
