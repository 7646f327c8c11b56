// Runs the real kestrel program and checks its standard output, standard error and exit status
// byte for byte for everything the command line can produce.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "kestrel_version.h"
#include "process.h"

namespace {

using kestrel_test::ProcessResult;
using kestrel_test::run_process;

// The complete usage listing, written out from the option table of the monitor.
const char* const kListing = R"(----- common params -----

-h,    --help, --usage                  print usage and exit
--query_info                            print dsp basic-info(core-num/domain_id/domain_name/vtcm ... ...)
--version                               print version and build info
--sample_time UINT64                    sample time (ms), default 1000
--run_local                             enable run local mode
--run_legacy                            enable run legacy mode for old dsp, eg: v66, v68
--all                                   print all metric
--dsp                                   print dsp metric
--hvx                                   print hvx metric
--hmx                                   print hmx metric
--debug                                 print debug metric
--follow, -f                            wait for new messages
--sample_interval_time UINT64           sample interval time (ms), default 20
--cdsp_index UINT64                     cdsp index, default 0. Now only used for qcs9075/sa8797p. other
                                        targets will ignore this param.
--enable_unsigned_pd UINT64             enable unsigned pd, 0=false 1=true, default 1
)";

// What the monitor prints on standard output after the toolkit rejected the command line; it
// has no line end of its own.
const char* const kParseFailure = "[ERROR] [KESTREL] parse cmdline failure";

ProcessResult kestrel(std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_BIN);
    ProcessResult r = run_process(args);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    return r;
}

void expect_version_block(const ProcessResult& r) {
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = kestrel_test::split_lines(r.out);
    ASSERT_EQ(lines.size(), 7u) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(lines[0], "kestrel version V" KESTREL_VERSION);
    EXPECT_EQ(lines[1], "  major version   : " KESTREL_VERSION_MAJOR);
    EXPECT_EQ(lines[2], "  minor version   : " KESTREL_VERSION_MINOR);
    EXPECT_EQ(lines[3], "  patch version   : " KESTREL_VERSION_PATCH);
    // The compiler's __DATE__ pads a single-digit day with a blank.
    EXPECT_TRUE(std::regex_match(
        lines[4], std::regex(R"(  build date      : [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} )"
                             R"([0-2][0-9]:[0-5][0-9]:[0-5][0-9])")))
        << lines[4];
    EXPECT_TRUE(
        std::regex_match(lines[5], std::regex(R"(  build commit id : ([0-9a-f]{7}|unknown))")))
        << lines[5];
    EXPECT_EQ(lines[6], "  abi version     : 1");
}

void expect_rejected(const ProcessResult& r, const std::string& err) {
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, kParseFailure);
    EXPECT_EQ(r.err, err);
}

TEST(CliHelp, EverySpellingPrintsTheFullListing) {
    for (const char* spelling : {"-h", "--help", "--usage"}) {
        SCOPED_TRACE(spelling);
        const ProcessResult r = kestrel({spelling});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, kListing);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CliHelp, OtherOptionsBeforeAndAfterHelpStillEndWithTheListing) {
    const ProcessResult r = kestrel({"--all", "-h", "--sample_time", "5", "-f"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kListing);
    EXPECT_EQ(r.err, "");
}

TEST(CliHelp, HelpFollowedByAnInvalidArgumentPrintsOnlyTheError) {
    expect_rejected(kestrel({"-h", "--bogus"}), "error: invalid argument: --bogus\n");
}

TEST(CliVersion, PrintsTheSevenLineBlock) {
    expect_version_block(kestrel({"--version"}));
}

TEST(CliVersion, EndsTheRunWhereTheParserReachesIt) {
    // Earlier options are applied, the invalid one after --version is never looked at.
    expect_version_block(kestrel({"--all", "--sample_time", "5", "--version", "--bogus"}));
    // --version after help: no listing, only the block.
    expect_version_block(kestrel({"-h", "--version"}));
}

TEST(CliVersion, AnInvalidArgumentBeforeItWins) {
    expect_rejected(kestrel({"--bogus", "--version"}), "error: invalid argument: --bogus\n");
}

TEST(CliErrors, UnregisteredArgument) {
    expect_rejected(kestrel({"status"}), "error: invalid argument: status\n");
}

TEST(CliErrors, NameAndValueJoinedByEqualsSignIsNotAnOption) {
    expect_rejected(kestrel({"--sample_time=5"}), "error: invalid argument: --sample_time=5\n");
}

TEST(CliErrors, MissingValue) {
    expect_rejected(kestrel({"--all", "--sample_time"}),
                    "argument: --sample_time, expected value\n");
}

TEST(CliErrors, BadNumberQuotesTheUsageEntry) {
    expect_rejected(kestrel({"--sample_time", "12x"}),
                    "error while handling argument \"--sample_time\": Invalid characters after "
                    "number\n\nusage:\n--sample_time UINT64                    sample time (ms), "
                    "default 1000\n\n\nto show complete usage, run with -h\n");
}

TEST(CliErrors, NextOptionTakenAsValueHasNoDigits) {
    expect_rejected(kestrel({"--cdsp_index", "--all"}),
                    "error while handling argument \"--cdsp_index\": No digits were found\n\n"
                    "usage:\n--cdsp_index UINT64                     cdsp index, default 0. Now "
                    "only used for qcs9075/sa8797p. other\n                                        "
                    "targets will ignore this param.\n\n\nto show complete usage, run with -h\n");
}

TEST(CliErrors, UnsignedPdRefusesWords) {
    expect_rejected(kestrel({"--enable_unsigned_pd", "true"}),
                    "error while handling argument \"--enable_unsigned_pd\": No digits were "
                    "found\n\nusage:\n--enable_unsigned_pd UINT64             enable unsigned "
                    "pd, 0=false 1=true, default 1\n\n\nto show complete usage, run with -h\n");
}

TEST(CliErrors, FlagTakesNoValue) {
    expect_rejected(kestrel({"--dsp", "5"}), "error: invalid argument: 5\n");
}

}  // namespace
