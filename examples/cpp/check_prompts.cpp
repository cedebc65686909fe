// Checks each prompt given as an argument with the C++ API and prints the
// verdict, the first signal's description, and the library's version.
// Exit status: 0 when all are allowed, 1 when one is not, 2 on an error.
#include <vantrel/scanner.h>

#include <iostream>

int main(int argc, char** argv) {
  vantrel::ScannerOptions options = vantrel::ScannerOptions::high_security();
  options.max_input_bytes = 64 * 1024;
  auto scanner = vantrel::Scanner::create(options);
  if (!scanner) {
    std::cerr << scanner.error().message << "\n";
    return 2;
  }
  std::cout << "vantrel " << vantrel::version() << ", database " << scanner->pattern_db_version()
            << "\n";
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const vantrel::ScanResult r = scanner->scan(argv[i], vantrel::ScanMode::Input);
    const auto disposition = r.disposition ? vantrel::disposition_name(*r.disposition) : "-";
    std::cout << disposition << "\t" << argv[i];
    if (!r.signals.empty()) std::cout << "\t(" << r.signals.front().description << ")";
    std::cout << "\n";
    if (!r.safe) status = 1;
  }
  return status;
}
