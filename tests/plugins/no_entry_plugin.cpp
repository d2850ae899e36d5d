// A plugin library for the tests that exports no registration entry point,
// only an unrelated function.
extern "C" int tarvik_no_entry_plugin_answer() { return 42; }
