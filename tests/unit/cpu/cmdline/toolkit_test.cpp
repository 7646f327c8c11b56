// Tests of the command-line toolkit: usage entry layout, conversions, the parser's messages,
// the environment pass and exception handling. The option table here is the tests' own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu/cmdline.h"
#include "cpu/status.h"

namespace {

using my_utils::ArgumentParser;
using my_utils::CMDLineContext;
using my_utils::CMDLineElement;
using my_utils::CMDLineParams;

const std::string kPad40(40, ' ');

CMDLineElement element(std::vector<const char*> names, const char* value_type, std::string help) {
    CMDLineElement e;
    e.names = std::move(names);
    e.value_type = value_type;
    e.help = std::move(help);
    return e;
}

// ---- usage entry layout ----

TEST(UsageEntry, NamesColumnOf37StaysOnTheLineAnd38MovesTheHelpDown) {
    const std::string name37 = "--" + std::string(35, 'a');
    EXPECT_EQ(element({name37.c_str()}, nullptr, "h").to_string(), name37 + "   h\n");

    const std::string name38 = "--" + std::string(36, 'a');
    EXPECT_EQ(element({name38.c_str()}, nullptr, "h").to_string(), name38 + "\n" + kPad40 + "h\n");

    // The value type counts: 30 + " UINT64" = 37, 31 + " UINT64" = 38.
    const std::string name30 = "--" + std::string(28, 'b');
    EXPECT_EQ(element({name30.c_str()}, "UINT64", "h").to_string(), name30 + " UINT64   h\n");
    const std::string name31 = "--" + std::string(29, 'b');
    EXPECT_EQ(element({name31.c_str()}, "UINT64", "h").to_string(),
              name31 + " UINT64\n" + kPad40 + "h\n");
}

TEST(UsageEntry, FirstOfSeveralNamesIsPaddedToSevenCharacters) {
    EXPECT_EQ(element({"-h", "--help", "--usage"}, nullptr, "x").to_string(),
              "-h,    --help, --usage" + std::string(18, ' ') + "x\n");
    EXPECT_EQ(element({"-abc", "--b"}, nullptr, "x").to_string(),
              "-abc,  --b" + std::string(30, ' ') + "x\n");
    EXPECT_EQ(element({"-abcd", "--b"}, nullptr, "x").to_string(),
              "-abcd, --b" + std::string(30, ' ') + "x\n");
    EXPECT_EQ(element({"--follow", "-f"}, nullptr, "x").to_string(),
              "--follow, -f" + std::string(28, ' ') + "x\n");
    EXPECT_EQ(element({"--sample_interval_time"}, "UINT64", "x").to_string(),
              "--sample_interval_time UINT64" + std::string(11, ' ') + "x\n");
}

TEST(UsageEntry, HelpLineOf70StaysWholeAnd71IsReflowed) {
    // 70 characters with a double blank inside: kept exactly.
    const std::string line70 = std::string(30, 'a') + "  " + std::string(38, 'b');
    ASSERT_EQ(line70.size(), 70u);
    EXPECT_EQ(element({"-x"}, nullptr, line70).to_string(),
              "-x" + std::string(38, ' ') + line70 + "\n");

    // 71 characters: words are joined with single blanks into lines of at most 70.
    const std::string line71 = std::string(30, 'a') + "  " + std::string(39, 'b');
    EXPECT_EQ(
        element({"-x"}, nullptr, line71).to_string(),
        "-x" + std::string(38, ' ') + std::string(30, 'a') + " " + std::string(39, 'b') + "\n");

    const std::string fill = std::string(40, 'c') + " " + std::string(29, 'd');  // 70
    EXPECT_EQ(element({"-x"}, nullptr, fill + " e").to_string(),
              "-x" + std::string(38, ' ') + fill + "\n" + kPad40 + "e\n");
}

TEST(UsageEntry, OverlongWordStandsAloneUnbroken) {
    const std::string word(75, 'w');
    EXPECT_EQ(element({"-x"}, nullptr, "a " + word + " b").to_string(),
              "-x" + std::string(38, ' ') + "a\n" + kPad40 + word + "\n" + kPad40 + "b\n");
}

TEST(UsageEntry, LineBreaksInTheHelp) {
    EXPECT_EQ(element({"-x"}, nullptr, "one\n\ntwo").to_string(),
              "-x" + std::string(38, ' ') + "one\n" + kPad40 + "\n" + kPad40 + "two\n");
    // A final line break adds no empty line.
    EXPECT_EQ(element({"-x"}, nullptr, "one\n").to_string(), "-x" + std::string(38, ' ') + "one\n");
    // An empty help ends the entry with the padding and no line break.
    EXPECT_EQ(element({"-x"}, nullptr, "").to_string(), "-x" + std::string(38, ' '));
}

// ---- environment look-ups ----

class EnvTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const char* name : {"KT_FLAG", "KT_INT", "KT_STR", "KT_UINT"}) {
            unsetenv(name);
        }
    }
};

TEST_F(EnvTest, LookupsTellSetFromUnset) {
    CMDLineElement e = element({"--x"}, nullptr, "");
    std::string out = "kept";
    EXPECT_FALSE(e.has_value_from_env());
    EXPECT_FALSE(e.get_value_from_env(out));

    e.env_name = "KT_STR";
    EXPECT_FALSE(e.has_value_from_env());
    EXPECT_FALSE(e.get_value_from_env(out));
    EXPECT_EQ(out, "kept");

    setenv("KT_STR", "", 1);
    EXPECT_TRUE(e.has_value_from_env());
    EXPECT_TRUE(e.get_value_from_env(out));
    EXPECT_EQ(out, "");

    setenv("KT_STR", "v", 1);
    out = "a longer previous content";
    EXPECT_TRUE(e.get_value_from_env(out));
    EXPECT_EQ(out, "v");
}

// ---- parsing ----

struct Record {
    int flags = 0;
    long long i = 0;
    unsigned long u = 0;
    double d = 0;
    bool b = false;
    std::vector<std::string> strings;
    std::string winner;
};

Record& rec(CMDLineParams& p) {
    return *static_cast<Record*>(p.user_param);
}

// The tests' option table: one element of each kind, three of them fed from the environment.
void test_table(CMDLineContext& ctx) {
    CMDLineElement flag = element({"--flag", "-F"}, nullptr, "a flag");
    flag.env_name = "KT_FLAG";
    flag.on_flag = [](CMDLineParams& p) { ++rec(p).flags; };
    ctx.options.push_back(flag);

    CMDLineElement i = element({"--int"}, "INT64", "signed");
    i.env_name = "KT_INT";
    i.on_int64 = [](CMDLineParams& p, long long v) { rec(p).i = v; };
    ctx.options.push_back(i);

    CMDLineElement s = element({"--str"}, "TEXT", "text");
    s.env_name = "KT_STR";
    s.on_string = [](CMDLineParams& p, const std::string& v) { rec(p).strings.push_back(v); };
    ctx.options.push_back(s);

    CMDLineElement u = element({"--uint"}, "UINT64", "unsigned");
    u.env_name = "KT_UINT";
    u.on_uint64 = [](CMDLineParams& p, unsigned long v) { rec(p).u = v; };
    ctx.options.push_back(u);

    CMDLineElement d = element({"--dbl"}, "DOUBLE", "double");
    d.on_double = [](CMDLineParams& p, double v) { rec(p).d = v; };
    ctx.options.push_back(d);

    CMDLineElement b = element({"--bool"}, "BOOL", "bool");
    b.on_bool = [](CMDLineParams& p, bool v) { rec(p).b = v; };
    ctx.options.push_back(b);

    ctx.options.push_back(element({"--none"}, "ANY", "no action"));

    CMDLineElement first = element({"--dup"}, nullptr, "first");
    first.on_flag = [](CMDLineParams& p) { rec(p).winner = "first"; };
    ctx.options.push_back(first);
    CMDLineElement second = element({"--dup"}, nullptr, "second");
    second.on_flag = [](CMDLineParams& p) { rec(p).winner = "second"; };
    ctx.options.push_back(second);

    CMDLineElement thrower = element({"--throw"}, nullptr, "throws");
    thrower.on_flag = [](CMDLineParams&) { throw std::runtime_error("boom"); };
    ctx.options.push_back(thrower);

    CMDLineElement odd = element({"--throw-int"}, nullptr, "throws a non-std value");
    odd.on_flag = [](CMDLineParams&) { throw 42; };
    ctx.options.push_back(odd);
}

struct Outcome {
    bool ok = false;
    bool usage = false;
    void* user_param = nullptr;
    std::string out;
    std::string err;
};

class ParseTest : public EnvTest {
  protected:
    Outcome parse(std::vector<const char*> args,
                  std::function<void(CMDLineContext&)> init = test_table) {
        args.insert(args.begin(), "prog");
        CMDLineParams params;
        params.user_param = &record;
        ArgumentParser parser(std::move(init));
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        Outcome o;
        o.ok = parser.cmdline_params_parse(static_cast<int>(args.size()), args.data(), params,
                                           nullptr);
        o.out = ::testing::internal::GetCapturedStdout();
        o.err = ::testing::internal::GetCapturedStderr();
        o.usage = params.usage;
        o.user_param = params.user_param;
        return o;
    }

    // The message of a number that could not be converted, as the parser prints it.
    static std::string number_error(const std::string& arg, const std::string& why,
                                    const std::string& entry) {
        return "error while handling argument \"" + arg + "\": " + why + "\n\nusage:\n" + entry +
               "\n\nto show complete usage, run with -h\n";
    }

    Record record;
};

TEST_F(ParseTest, NoArgumentsSucceedsWithoutUsage) {
    const Outcome o = parse({});
    EXPECT_TRUE(o.ok);
    EXPECT_FALSE(o.usage);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
}

TEST_F(ParseTest, ActionsRunInArgumentOrderAndTheLastValueCounts) {
    const Outcome o = parse({"--int", "1", "-F", "--str", "-x", "--flag", "--int", "-7", "--str",
                             "--int", "--none", "ignored", "--bool", "true", "--dbl", "-2.5"});
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(record.flags, 2);
    EXPECT_EQ(record.i, -7);
    // Values are taken unchanged, even when they look like options.
    EXPECT_THAT(record.strings, ::testing::ElementsAre("-x", "--int"));
    EXPECT_TRUE(record.b);
    EXPECT_DOUBLE_EQ(record.d, -2.5);
}

TEST_F(ParseTest, SignedAndUnsignedConversions) {
    EXPECT_TRUE(parse({"--int", " 12"}).ok);
    EXPECT_EQ(record.i, 12);
    EXPECT_TRUE(parse({"--int", "+3"}).ok);
    EXPECT_EQ(record.i, 3);
    // Out of range clamps rather than fails.
    EXPECT_TRUE(parse({"--int", "-99999999999999999999"}).ok);
    EXPECT_EQ(record.i, std::numeric_limits<long long>::min());

    EXPECT_TRUE(parse({"--uint", "18446744073709551615"}).ok);
    EXPECT_EQ(record.u, 18446744073709551615UL);
    EXPECT_TRUE(parse({"--uint", "-5"}).ok);  // wraps around
    EXPECT_EQ(record.u, 18446744073709551611UL);
    EXPECT_TRUE(parse({"--uint", "99999999999999999999999"}).ok);
    EXPECT_EQ(record.u, std::numeric_limits<unsigned long>::max());
}

TEST_F(ParseTest, ConversionFailuresQuoteTheUsageEntry) {
    const std::string int_entry = "--int INT64" + std::string(29, ' ') + "signed\n";
    const std::string uint_entry = "--uint UINT64" + std::string(27, ' ') + "unsigned\n";
    const std::string dbl_entry = "--dbl DOUBLE" + std::string(28, ' ') + "double\n";
    const struct {
        const char* arg;
        const char* value;
        const char* why;
        const std::string& entry;
    } cases[] = {
        {"--int", "", "No digits were found", int_entry},
        {"--int", "abc", "No digits were found", int_entry},
        {"--int", "12 ", "Invalid characters after number", int_entry},
        {"--int", "12x", "Invalid characters after number", int_entry},
        {"--int", "0x10", "Invalid characters after number", int_entry},
        {"--uint", "", "No digits were found", uint_entry},
        {"--uint", "1.5", "Invalid characters after number", uint_entry},
        {"--dbl", "x", "No digits were found", dbl_entry},
        {"--dbl", "1.5e", "Invalid characters after number", dbl_entry},
        {"--dbl", "1e309", "Number out of double range", dbl_entry},
        {"--dbl", "-1e309", "Number out of double range", dbl_entry},
        {"--dbl", "inf", "Number out of double range", dbl_entry},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.arg) + " '" + c.value + "'");
        const Outcome o = parse({c.arg, c.value});
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, number_error(c.arg, c.why, c.entry));
    }
}

TEST_F(ParseTest, DoubleAcceptsZeroNegativeAndTinyValues) {
    for (const char* value : {"0", "-1e300", "1e-320", "1.7976931348623157e308"}) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(parse({"--dbl", value}).ok);
        EXPECT_EQ(record.d, std::strtod(value, nullptr));
    }
}

TEST_F(ParseTest, BoolTakesOnlyTheExactWords) {
    EXPECT_TRUE(parse({"--bool", "true", "--bool", "false"}).ok);
    EXPECT_FALSE(record.b);
    const Outcome o = parse({"--bool", "True"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, "error while handling argument \"--bool\": --bool BOOL" +
                         std::string(29, ' ') + "bool\n\n\nusage: only support 'true'/'false'\n");
}

TEST_F(ParseTest, UnknownAndIncompleteArguments) {
    Outcome o = parse({"--int=5"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, "error: invalid argument: --int=5\n");

    o = parse({"--flag", "--int"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, "argument: --int, expected value\n");

    // The first error ends the parse: nothing after it runs.
    o = parse({"--str", "a", "--bogus", "--str", "b"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, "error: invalid argument: --bogus\n");
    EXPECT_THAT(record.strings, ::testing::ElementsAre("a"));
}

TEST_F(ParseTest, LaterElementWinsASharedName) {
    EXPECT_TRUE(parse({"--dup"}).ok);
    EXPECT_EQ(record.winner, "second");
}

TEST_F(ParseTest, HelpPrintsTheListingAfterAllArgumentsAndCallsTheHook) {
    static int hook_argc = 0;
    hook_argc = 0;
    std::vector<const char*> args = {"prog", "-h", "--int", "5"};
    CMDLineParams params;
    params.user_param = &record;
    ArgumentParser parser([](CMDLineContext& ctx) {
        CMDLineElement e = element({"--int"}, "N", "number");
        e.on_int64 = [](CMDLineParams& p, long long v) { rec(p).i = v; };
        ctx.options.push_back(e);
    });
    ::testing::internal::CaptureStdout();
    const bool ok = parser.cmdline_params_parse(4, args.data(), params,
                                                [](int argc, const char**) { hook_argc = argc; });
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(params.usage);
    EXPECT_EQ(record.i, 5);
    EXPECT_EQ(hook_argc, 4);
    EXPECT_EQ(out, "----- common params -----\n\n-h,    --help, --usage" + std::string(18, ' ') +
                       "print usage and exit\n--int N" + std::string(33, ' ') + "number\n");
}

TEST_F(ParseTest, EmptyRegistrationLeavesOnlyHelp) {
    Outcome o = parse({"--usage"}, nullptr);
    EXPECT_TRUE(o.ok);
    EXPECT_TRUE(o.usage);
    EXPECT_EQ(o.out, "----- common params -----\n\n-h,    --help, --usage" + std::string(18, ' ') +
                         "print usage and exit\n");
    o = parse({"--flag"}, nullptr);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, "error: invalid argument: --flag\n");
}

TEST_F(ParseTest, RejectedCommandLineRestoresTheHolderButNotTheRecord) {
    const Outcome o = parse({"-h", "--flag", "--bogus"});
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.usage);
    EXPECT_EQ(o.user_param, &record);
    EXPECT_EQ(o.out, "");  // no listing
    EXPECT_EQ(o.err, "error: invalid argument: --bogus\n");
    EXPECT_EQ(record.flags, 1);
}

TEST_F(ParseTest, ExceptionsAreCaughtAndReportedOnStandardOutput) {
    Outcome o = parse({"-h", "--throw"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.out, "ArgumentParser: Exception: boom\n");
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(o.usage);  // the holder keeps what the actions wrote

    o = parse({"--throw-int"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.out, "ArgumentParser: Unkown Exception\n");

    o = parse({}, [](CMDLineContext&) { throw std::logic_error("in registration"); });
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.out, "ArgumentParser: Exception: in registration\n");
}

TEST_F(ParseTest, EnvironmentFeedsFlagsSignedNumbersAndText) {
    setenv("KT_FLAG", "true", 1);
    setenv("KT_INT", "-42", 1);
    setenv("KT_STR", "from env", 1);
    setenv("KT_UINT", "7", 1);  // unsigned options take no environment value
    Outcome o = parse({});
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(record.flags, 1);
    EXPECT_EQ(record.i, -42);
    EXPECT_THAT(record.strings, ::testing::ElementsAre("from env"));
    EXPECT_EQ(record.u, 0u);

    record = Record();
    setenv("KT_FLAG", "1", 1);
    EXPECT_TRUE(parse({}).ok);
    EXPECT_EQ(record.flags, 1);

    // Any other value for a flag is ignored silently.
    for (const char* value : {"yes", "TRUE", "0", ""}) {
        record = Record();
        setenv("KT_FLAG", value, 1);
        o = parse({});
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(record.flags, 0) << value;
    }
}

TEST_F(ParseTest, CommandLineOverridesTheEnvironmentWithAWarning) {
    setenv("KT_INT", "1", 1);
    const Outcome o = parse({"--int", "2"});
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(record.i, 2);
    EXPECT_EQ(o.err,
              "warn: KT_INT environment variable is set, but will be overwritten by command line "
              "argument --int\n");
}

TEST_F(ParseTest, BadEnvironmentNumberRejectsTheCommandLine) {
    setenv("KT_INT", "12abc", 1);
    const Outcome o = parse({"--flag"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(record.flags, 0);  // the arguments are never looked at
    EXPECT_EQ(o.err,
              "error while handling environment variable \"KT_INT\": Invalid characters after "
              "number\n\n\n");
}

TEST(Status, FactoriesAndCopies) {
    EXPECT_EQ(my_utils::OkStatus().code, my_utils::StatusCode::kOk);
    EXPECT_EQ(my_utils::OkStatus().message, "");
    my_utils::Status error;
    {
        std::string message = "temporary text";
        error = my_utils::ErrorStatus(my_utils::StatusCode::kError, message);
        message.assign("overwritten");
    }
    EXPECT_EQ(error.code, my_utils::StatusCode::kError);
    EXPECT_EQ(error.message, "temporary text");
}

}  // namespace
