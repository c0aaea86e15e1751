#include <gtest/gtest.h>

#include "tools/analyse/block_report.h"

namespace quorvane {
namespace {

BlockReadouts Sample() {
  BlockReadouts r;
  r.block = 3;
  r.start_seconds = 3 * 8192 / 22050.0;
  r.freq_text = "1001 Hz";
  r.sig_max_text = "-13 dB anl";
  r.max_hold_text = "0";
  r.noise_text = "-57";
  return r;
}

TEST(BlockReport, CsvCarriesTheLabelsLeadingNumbers) {
  EXPECT_EQ(CsvRow(Sample()), "3,1.114558,1001,-13,0,-57");
  EXPECT_EQ(std::string(kCsvHeader), "block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db");
}

TEST(BlockReport, JsonAddsTheTextsVerbatimAndEscaped) {
  BlockReadouts r = Sample();
  r.max_hold_text = "12 dB anl";
  EXPECT_EQ(JsonRow(r),
            "{\"block\":3,\"start_s\":1.114558,\"peak_hz\":1001,\"sig_max_db\":-13,"
            "\"max_hold_db\":12,\"noise_db\":-57,\"freq_text\":\"1001 Hz\","
            "\"sig_max_text\":\"-13 dB anl\",\"max_hold_text\":\"12 dB anl\","
            "\"noise_text\":\"-57\"}");
  r.freq_text = "a\"b\\c\n";
  EXPECT_NE(JsonRow(r).find("\"freq_text\":\"a\\\"b\\\\c\\u000a\""), std::string::npos);
}

}  // namespace
}  // namespace quorvane
