// A small command-line toolkit: options are described as data (CMDLineElement) with one typed
// action each and an optional environment variable that can supply the value; ArgumentParser
// feeds the environment and the arguments through those actions and prints the usage listing.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace my_utils {

// What every option action receives.
struct CMDLineParams {
    // Set by the built-in help option; after a successful parse it tells the caller that the
    // usage listing was printed and the run should end.
    bool usage = false;
    // The application's own parameter record. The toolkit never reads through it.
    void* user_param = nullptr;
};

// One option. The name strings are static and not owned by the element.
struct CMDLineElement {
    // Spellings accepted on the command line, in the order the usage entry shows them.
    std::vector<const char*> names;
    // Word shown after the names in the usage entry (e.g. "UINT64"); display text only.
    const char* value_type = nullptr;
    // Full name of an environment variable that supplies the value; null for none.
    const char* env_name = nullptr;
    // Help text; may contain line breaks.
    std::string help;

    // Normally exactly one action is set; the parser's order of precedence decides otherwise.
    void (*on_flag)(CMDLineParams&) = nullptr;
    void (*on_string)(CMDLineParams&, const std::string&) = nullptr;
    void (*on_int64)(CMDLineParams&, long long) = nullptr;
    void (*on_uint64)(CMDLineParams&, unsigned long) = nullptr;
    void (*on_double)(CMDLineParams&, double) = nullptr;
    void (*on_bool)(CMDLineParams&, bool) = nullptr;

    // True when env_name is set and the variable exists (an empty value counts as set).
    bool has_value_from_env() const;
    // When the variable exists, replaces out with its value and returns true; otherwise
    // returns false and leaves out unchanged.
    bool get_value_from_env(std::string& out) const;
    // The element's entry in the usage listing.
    std::string to_string() const;
};

// An element with one spelling, the word shown for its value (null for a flag) and its help; the
// caller sets its action.
CMDLineElement make_option(const char* name, const char* value_type, const char* help);

using UsageCallback = void (*)(int argc, const char** argv);

// State of one parse call.
struct CMDLineContext {
    CMDLineParams* params = nullptr;
    // Registered elements in registration order: the built-in help element first.
    std::vector<CMDLineElement> options;
    // Called after the usage listing has been printed; may be null.
    UsageCallback usage_callback = nullptr;
};

class ArgumentParser {
  public:
    // user_init appends the application's elements to the context; it may be empty.
    explicit ArgumentParser(std::function<void(CMDLineContext&)> user_init);

    // Applies environment values, then the arguments, through the elements' actions. Returns
    // false (after printing a message) when an argument, a value or an environment variable
    // is rejected or an exception escapes; true otherwise, with params.usage telling whether
    // the usage listing was printed.
    bool cmdline_params_parse(int argc, const char** argv, CMDLineParams& params,
                              UsageCallback usage_callback);

    std::function<void(CMDLineContext&)> user_init;
};

}  // namespace my_utils
