#include <exception>
#include <string>
#include <vector>

#include "app.h"
#include "io.h"

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return vantrel::run(args);
  } catch (const std::bad_alloc&) {
    vantrel::write_stderr("Error: out of memory\n");
  } catch (const std::exception& e) {
    vantrel::write_stderr(std::string("Error: ") + e.what() + "\n");
  }
  return 2;
}
