// Tests of the run driver's entry steps: the DSP library path, the SIGINT handler and flag,
// the local mode line, and a run that ends in parsing.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cpu/kestrel_run.h"

namespace {

constexpr const char* kVar = "ADSP_LIBRARY_PATH";

class DspEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* v = std::getenv(kVar);
        had_value_ = v != nullptr;
        if (had_value_) {
            saved_ = v;
        }
    }
    void TearDown() override {
        if (had_value_) {
            setenv(kVar, saved_.c_str(), 1);
        } else {
            unsetenv(kVar);
        }
    }

    static std::string after_set(const char* initial) {
        if (initial == nullptr) {
            unsetenv(kVar);
        } else {
            setenv(kVar, initial, 1);
        }
        EXPECT_EQ(set_dsp_env(), 0);
        const char* v = std::getenv(kVar);
        return v != nullptr ? v : "<unset>";
    }

  private:
    bool had_value_ = false;
    std::string saved_;
};

TEST_F(DspEnv, AppendsTheLibraryDirectories) {
    EXPECT_EQ(after_set(nullptr), "/usr/lib/skel;./lib");
    EXPECT_EQ(after_set(""), "/usr/lib/skel;./lib");
    EXPECT_EQ(after_set("/opt/dsp"), "/opt/dsp;/usr/lib/skel;./lib");
    EXPECT_EQ(after_set("/opt/dsp;"), "/opt/dsp;/usr/lib/skel;./lib");
    EXPECT_EQ(after_set(";"), ";/usr/lib/skel;./lib");
    // Directories already present are appended once more.
    EXPECT_EQ(after_set("/usr/lib/skel;./lib"), "/usr/lib/skel;./lib;/usr/lib/skel;./lib");
}

TEST_F(DspEnv, RunsEachTimeItIsCalled) {
    unsetenv(kVar);
    ASSERT_EQ(set_dsp_env(), 0);
    ASSERT_EQ(set_dsp_env(), 0);
    EXPECT_STREQ(std::getenv(kVar), "/usr/lib/skel;./lib;/usr/lib/skel;./lib");
}

TEST(SignalHandler, InterruptTerminateAndHangUpClearTheFlag) {
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        g_is_loop_run.store(true);
        signal_handler(SIGUSR1);
        signal_handler(SIGPIPE);
        EXPECT_TRUE(g_is_loop_run.load());
        signal_handler(signo);
        EXPECT_FALSE(g_is_loop_run.load()) << signo;
        signal_handler(signo);  // a second signal only stores false again
        EXPECT_FALSE(g_is_loop_run.load());
    }
}

// Runs kestrel_run with the arguments, capturing standard output.
int run(std::vector<const char*> args, std::string& out) {
    args.insert(args.begin(), "kestrel");
    ::testing::internal::CaptureStdout();
    const int rc = kestrel_run(static_cast<int>(args.size()), args.data());
    out = ::testing::internal::GetCapturedStdout();
    return rc;
}

TEST(KestrelRun, HelpSetsTheFlagInstallsTheHandlerAndReturnsZero) {
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous[3]{};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sigaction(signals[i], nullptr, &previous[i]), 0);
    }

    g_is_loop_run.store(false);
    std::string out;
    EXPECT_EQ(run({"-h"}, out), 0);
    EXPECT_EQ(out.rfind("----- common params -----\n\n-h,    --help, --usage", 0), 0u) << out;
    EXPECT_TRUE(g_is_loop_run.load());

    for (int signo : signals) {
        struct sigaction installed {};
        ASSERT_EQ(sigaction(signo, nullptr, &installed), 0);
        EXPECT_EQ(installed.sa_handler, &signal_handler) << signo;
        // No automatic restart, so a signal cuts a pending sleep short.
        EXPECT_EQ(installed.sa_flags & (SA_RESTART | SA_RESETHAND), 0) << signo;
        // A real signal now only clears the flag.
        g_is_loop_run.store(true);
        ASSERT_EQ(raise(signo), 0);
        EXPECT_FALSE(g_is_loop_run.load()) << signo;
    }

    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sigaction(signals[i], &previous[i], nullptr), 0);
    }
}

TEST(KestrelRun, RejectedCommandLineReturnsMinusOneWithoutLineEnd) {
    std::string out;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run({"--all", "--nope"}, out), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "error: invalid argument: --nope\n");
    EXPECT_EQ(out, "[ERROR] [KESTREL] parse cmdline failure");
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        signal(signo, SIG_DFL);
    }
}

TEST(LocalMode, PrintsItsInformationLine) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run_local_mode(1000), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[INFO ] [kestrel] run local model, do nothing .. .. ..\n");
}

}  // namespace
