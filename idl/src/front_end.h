/*
 * The loader's stages, shared by its sources: the parser builds a
 * Definition from the text (syntax only), the checker then verifies and
 * completes it (names, types, codes). Both report into one Reporter.
 */
#ifndef BGS_IDL_FRONT_END_H
#define BGS_IDL_FRONT_END_H

#include <bgs/idl/definition.h>

#include <string>
#include <string_view>
#include <vector>

namespace bgs::idl::detail {

// Collects diagnostics up to Limits::kMaxDiagnostics, then one "too many
// errors" and nothing more; full() tells the stages to stop early.
class Reporter {
  public:
    explicit Reporter(std::string_view file) : file_(file) {}

    void error(Location where, std::string message);
    bool full() const { return diagnostics_.size() > Limits::kMaxDiagnostics; }
    bool empty() const { return diagnostics_.empty(); }
    std::vector<Diagnostic> take() { return std::move(diagnostics_); }

  private:
    std::string file_;
    std::vector<Diagnostic> diagnostics_;
};

// Parses `text` into `out` (package, records, interfaces as written;
// codes of methods without `= N` are left 0). Returns false when it reported
// anything.
bool parseDefinition(std::string_view text, Definition& out, Reporter& report);

// Checks a parsed definition and assigns implicit codes.
void checkDefinition(Definition& definition, Reporter& report);

}  // namespace bgs::idl::detail

#endif  // BGS_IDL_FRONT_END_H
