#include <gtest/gtest.h>

#include <stdexcept>

#include "cli/ConfusionMatrix.h"

// Ten samples of three categories, as (actual, predicted):
//   cat:  cat cat cat dog        -> 3 right of 4
//   dog:  dog dog cat            -> 2 right of 3
//   bird: bird dog dog           -> 1 right of 3
// Predicted cat 4 times (3 right), dog 5 times (2 right), bird once (1 right).
ConfusionMatrix TenSamples() {
    ConfusionMatrix m(3);
    const std::size_t pairs[][2] = {{0, 0}, {0, 0}, {0, 0}, {0, 1}, {1, 1},
                                    {1, 1}, {1, 0}, {2, 2}, {2, 1}, {2, 1}};
    for (const auto& pair : pairs) m.Add(pair[0], pair[1]);
    return m;
}

TEST(ConfusionMatrix, CountsAndMeasures) {
    const ConfusionMatrix m = TenSamples();
    EXPECT_EQ(m.Total(), 10u);
    EXPECT_EQ(m.Count(0, 1), 1u);
    EXPECT_EQ(m.Count(2, 1), 2u);
    EXPECT_DOUBLE_EQ(*m.Accuracy(), 0.6);
    EXPECT_DOUBLE_EQ(*m.Precision(0), 0.75);
    EXPECT_DOUBLE_EQ(*m.Precision(1), 0.4);
    EXPECT_DOUBLE_EQ(*m.Precision(2), 1.0);
    EXPECT_DOUBLE_EQ(*m.Recall(0), 0.75);
    EXPECT_DOUBLE_EQ(*m.Recall(1), 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(*m.Recall(2), 1.0 / 3.0);
    EXPECT_THROW(ConfusionMatrix(3).Add(3, 0), std::out_of_range);
}

TEST(ConfusionMatrix, LeavesUndefinedMeasuresEmpty) {
    ConfusionMatrix m(2);
    EXPECT_FALSE(m.Accuracy().has_value());
    m.Add(0, 0);
    EXPECT_DOUBLE_EQ(*m.Accuracy(), 1.0);
    EXPECT_FALSE(m.Precision(1).has_value());  // never predicted
    EXPECT_FALSE(m.Recall(1).has_value());     // never present
}

std::string Gap(std::size_t n) { return std::string(n, ' '); }

// Names are padded to 8 columns, precision takes 11, recall and samples 9
// each; matrix columns are 6 wide.
TEST(ConfusionMatrix, ReportsMeasuresAndMatrixAsTables) {
    const std::string report = TenSamples().Report({"cat", "dog", "bird"});
    const std::string lines[] = {
        "category" + Gap(2) + "precision" + Gap(3) + "recall" + Gap(2) + "samples\n",
        "cat" + Gap(11) + "75.0%" + Gap(4) + "75.0%" + Gap(8) + "4\n",
        "dog" + Gap(11) + "40.0%" + Gap(4) + "66.7%" + Gap(8) + "3\n",
        "bird" + Gap(9) + "100.0%" + Gap(4) + "33.3%" + Gap(8) + "3\n",
        Gap(11) + "cat" + Gap(3) + "dog" + Gap(2) + "bird\n",
        "cat" + Gap(10) + "3" + Gap(5) + "1" + Gap(5) + "0\n",
        "dog" + Gap(10) + "1" + Gap(5) + "2" + Gap(5) + "0\n",
        "bird" + Gap(9) + "0" + Gap(5) + "2" + Gap(5) + "1\n",
    };
    std::size_t from = 0;
    for (const std::string& line : lines) {
        const std::size_t at = report.find(line, from);
        ASSERT_NE(at, std::string::npos) << "missing in order: [" << line << "]\n" << report;
        from = at + line.size();
    }
    EXPECT_THROW(TenSamples().Report({"cat"}), std::invalid_argument);
}
