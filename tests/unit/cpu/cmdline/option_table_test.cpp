// Tests of the monitor's option table: what each option does to the parameter record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cpu/cmdline.h"
#include "cpu/cmdline_user.h"

namespace {

using my_utils::ArgumentParser;
using my_utils::CMDLineParams;

class OptionTable : public ::testing::Test {
  protected:
    // Parses the arguments with the monitor's table into `params`; returns the parse result.
    bool parse(std::vector<const char*> args) {
        args.insert(args.begin(), "kestrel");
        CMDLineParams holder;
        holder.user_param = &params;
        ArgumentParser parser(cmdline_user_init);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const bool ok = parser.cmdline_params_parse(static_cast<int>(args.size()), args.data(),
                                                    holder, nullptr);
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        usage = holder.usage;
        return ok;
    }

    cmdline_user_params params;
    bool usage = false;
    std::string out;
    std::string err;
};

TEST_F(OptionTable, RecordStartsWithTheRunDefaults) {
    EXPECT_FALSE(params.dsp || params.hvx || params.hmx || params.all || params.debug);
    EXPECT_FALSE(params.query_info || params.run_local || params.run_legacy || params.follow);
    EXPECT_EQ(params.sample_time, 1000u);
    EXPECT_EQ(params.sample_interval_time, 20u);
    EXPECT_EQ(params.domain_name, "cdsp");
    EXPECT_EQ(params.domain_id, 3u);
    EXPECT_EQ(params.cdsp_index, 0u);
    EXPECT_TRUE(params.enable_unsigned_pd);
}

TEST_F(OptionTable, EachFlagSetsOnlyItsOwnField) {
    const struct {
        const char* name;
        bool cmdline_user_params::*field;
    } flags[] = {
        {"--query_info", &cmdline_user_params::query_info},
        {"--run_local", &cmdline_user_params::run_local},
        {"--run_legacy", &cmdline_user_params::run_legacy},
        {"--all", &cmdline_user_params::all},
        {"--dsp", &cmdline_user_params::dsp},
        {"--hvx", &cmdline_user_params::hvx},
        {"--hmx", &cmdline_user_params::hmx},
        {"--debug", &cmdline_user_params::debug},
        {"--follow", &cmdline_user_params::follow},
        {"-f", &cmdline_user_params::follow},
    };
    for (const auto& flag : flags) {
        SCOPED_TRACE(flag.name);
        params = cmdline_user_params();
        ASSERT_TRUE(parse({flag.name}));
        EXPECT_EQ(err, "");
        EXPECT_FALSE(usage);
        for (const auto& other : flags) {
            EXPECT_EQ(params.*(other.field), other.field == flag.field) << other.name;
        }
        EXPECT_TRUE(params.enable_unsigned_pd);
    }
}

TEST_F(OptionTable, NumberOptionsStoreTheLow32Bits) {
    ASSERT_TRUE(parse({"--sample_time", "4294967297", "--sample_interval_time", "4294967296",
                       "--cdsp_index", "4294967298"}));
    EXPECT_EQ(params.sample_time, 1u);
    EXPECT_EQ(params.sample_interval_time, 0u);
    EXPECT_EQ(params.cdsp_index, 2u);

    ASSERT_TRUE(
        parse({"--sample_time", "0", "--sample_interval_time", "250", "--cdsp_index", "1"}));
    EXPECT_EQ(params.sample_time, 0u);
    EXPECT_EQ(params.sample_interval_time, 250u);
    EXPECT_EQ(params.cdsp_index, 1u);
    // The record's domain is left for the run driver to decide.
    EXPECT_EQ(params.domain_name, "cdsp");
    EXPECT_EQ(params.domain_id, 3u);
}

TEST_F(OptionTable, UnsignedPdLooksAtTheFull64BitValue) {
    ASSERT_TRUE(parse({"--enable_unsigned_pd", "0"}));
    EXPECT_FALSE(params.enable_unsigned_pd);
    ASSERT_TRUE(parse({"--enable_unsigned_pd", "4294967296"}));  // low 32 bits are zero
    EXPECT_TRUE(params.enable_unsigned_pd);
    ASSERT_TRUE(parse({"--enable_unsigned_pd", "0", "--enable_unsigned_pd", "2"}));
    EXPECT_TRUE(params.enable_unsigned_pd);

    params = cmdline_user_params();
    EXPECT_FALSE(parse({"--enable_unsigned_pd", "false"}));
    EXPECT_TRUE(params.enable_unsigned_pd);
    EXPECT_NE(err.find("No digits were found"), std::string::npos) << err;
}

TEST_F(OptionTable, FlagsTakeNoValue) {
    EXPECT_FALSE(parse({"--dsp", "5"}));
    EXPECT_TRUE(params.dsp);  // applied before the rejected argument
    EXPECT_EQ(err, "error: invalid argument: 5\n");
}

TEST_F(OptionTable, HelpListsTheHelpElementAndTheFourteenOptions) {
    ASSERT_TRUE(parse({"--help"}));
    EXPECT_TRUE(usage);
    size_t entries = 0;
    size_t pos = 0;
    // Every entry starts a line with a dash; the re-flowed second help line starts with blanks.
    while ((pos = out.find("\n-", pos)) != std::string::npos) {
        ++entries;
        ++pos;
    }
    EXPECT_EQ(entries, 15u) << out;
}

// Parses a command line holding --version and, should the parse ever return, exits with 3.
void parse_through_version() {
    cmdline_user_params record;
    CMDLineParams holder;
    holder.user_param = &record;
    const char* args[] = {"kestrel", "--all", "--version", "--bogus"};
    ArgumentParser(cmdline_user_init).cmdline_params_parse(4, args, holder, nullptr);
    std::exit(3);
}

TEST_F(OptionTable, VersionEndsTheProcessInsideTheParse) {
    EXPECT_EXIT(parse_through_version(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
