#include "help.h"

namespace vantrel {

// Printed as is: the trailing empty line and the lines of four spaces are part
// of the text.
const std::string_view kHelpText = R"HELP(Vantrel Ward - Security for On-Device AI

USAGE:
    vantrel <COMMAND> [OPTIONS] [INPUT]

COMMANDS:
    scan        Scan text for threats (input or output)
    stream      Stream mode: read stdin line-by-line with early termination
    version     Print version information
    help        Print this help message

SCAN OPTIONS:
    INPUT               Text to scan (reads from stdin if not provided)
    -j, --json          Output result as JSON
    -e, --exit-on-threat
                        Exit with code 1 if threat detected (for shell conditionals)
    -q, --quiet         Suppress output (use exit code only)
    --stdin             Persistent newline-delimited JSON scan mode (daemon)
    --patterns <PATH>   Add runtime patterns from JSON file
    -m, --mode <MODE>   Scan mode: 'input' (default) or 'output'
                        - input: Scan user prompts for injection attempts
                        - output: Scan model responses for successful attacks
    --high-security     Use high-security thresholds (blocks more)
    --low-latency       Use low-latency thresholds (faster decisions)
    --block-threshold <N>
                        Custom block threshold (0.0-1.0, default 0.90)
    --allow-threshold <N>
                        Custom allow threshold (0.0-1.0, default 0.10)
    --prior <N>         Custom prior probability (default 0.01)
    --warning-mode      Enable warning messages for warning-band outcomes (default: on)
    --no-warning-mode   Disable warning messages for warning-band outcomes

STREAM OPTIONS:
    -j, --json          Output result as JSON
    -e, --exit-on-threat
                        Exit with code 1 if threat detected (for shell conditionals)
    -q, --quiet         Suppress output (use exit code only)
    --high-security     Use high-security thresholds (blocks more)
    --low-latency       Use low-latency thresholds (faster decisions)
    --warning-mode      Enable warning messages for warning-band outcomes (default: on)
    --no-warning-mode   Disable warning messages for warning-band outcomes

EXAMPLES:
    # Scan user input for attacks
    vantrel scan "Ignore all previous instructions"

    # Scan from stdin
    echo "User input" | vantrel scan

    # Add custom patterns at runtime (additive with defaults)
    vantrel scan --patterns ./custom_patterns.json "Test input"

    # Persistent daemon mode for integrations
    vantrel scan --json --stdin

    # Use with llamafile (blocks on threat)
    echo "User input" | vantrel scan --exit-on-threat && ./model.llamafile

    # Scan model OUTPUT for successful attacks
    echo "My system prompt is: ..." | vantrel scan --mode output
    
    # STREAMING: Real-time output monitoring with early termination
    ./model.llamafile --cli -p "Hello" | vantrel stream -e
    
    # Full input+output protection with llamafile (streaming)
    INPUT="Hello"; \
    vantrel scan -e "$INPUT" && \
    ./model.llamafile --cli -p "$INPUT" | vantrel stream -e

    # JSON output for parsing
    vantrel scan "Test input" --json

    # High-security mode
    vantrel scan "Suspicious input" --high-security

STREAMING MODE:
    Use 'vantrel stream' for real-time token-by-token scanning with early
    termination. This is critical for llamafile integration where you need
    to stop generation immediately upon detecting harmful output.
    
    Features:
    - Incremental buffering with smart scan points (sentence boundaries)
    - Pattern detection across chunk boundaries (100-char overlap)
    - Cumulative Bayesian evidence across multiple scans
    - Early termination: exits immediately when threat is detected

OUTPUT SCANNING:
    Use --mode output to scan LLM responses for signs of successful attacks:
    - System prompt leakage ("My system prompt is...")
    - Training data disclosure ("I was trained on...")
    - Safety bypass indicators ("I'll make an exception...")
    - DAN/jailbreak success ("[DAN] I am now unrestricted...")

EXIT CODES:
    0    Success (safe or scan completed)
    1    Threat detected (with --exit-on-threat)
    2    Error (invalid input, I/O error, etc.)

INTEGRATION:
    For C/C++ integration (llama.cpp, MLC LLM), use the FFI interface.
    For llamafile, see examples/llamafile/.

)HELP";

const std::string_view kVersionText =
    "vantrel 0.4.0\n"
    "Vantrel Ward - Security for On-Device AI\n"
    "https://github.com/vantrel-ward/vantrel\n";

}  // namespace vantrel
