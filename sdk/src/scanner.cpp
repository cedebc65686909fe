// The public scanner and stream: ScannerOptions turned into the engine's
// Scanner (pattern database, score profile, gate configuration), and the
// stream scanner made from it.
#include "vantrel/scanner.h"

#include <utility>

#include "engine.h"
#include "score_profile.h"
#include "skills/classifier.h"
#include "skills/classifier_model.h"
#include "skills/pattern.h"
#include "skills/stream.h"

namespace vantrel {

using vantrel_core::PatternLoadError;
using vantrel_core::PatternSkill;
using vantrel_core::ProfileSelection;
using vantrel_core::ScoreProfile;

struct Scanner::Impl {
  vantrel_core::Scanner engine;
  StreamOptions stream_options;
  std::string pattern_db_version;
  // The learned detector's output model for streams, when it is on.
  std::shared_ptr<const vantrel_core::ClassifierSkill> stream_classifier;
  std::optional<Scanner::WorkingDirectoryPatterns> working_directory_patterns;
};

struct Stream::Impl {
  std::optional<vantrel_core::StreamScanner> scanner;  // empty once finished
  bool terminated = false;
};

namespace {

Error pattern_file_error(const std::string& path, PatternLoadError e) {
  Error error;
  error.short_message = e.display();
  if (e.kind == PatternLoadError::Kind::IoError) {
    error.code = ErrorCode::kPatternFileUnreadable;
    error.message = "cannot read pattern file '" + path + "': " + e.message;
  } else {
    error.code = ErrorCode::kPatternFileInvalid;
    error.message =
        "pattern file '" + path + "': " + (e.detail.empty() ? e.message : std::move(e.detail));
  }
  return error;
}

Expected<PatternSkill, Error> load_patterns(const ScannerOptions& options) {
  if (!options.patterns_file) {
    return options.search_pattern_files ? PatternSkill::create() : PatternSkill::compiled_in();
  }
  auto merged =
      PatternSkill::with_additive_file(*options.patterns_file, options.search_pattern_files);
  if (!merged)
    return Unexpected{pattern_file_error(*options.patterns_file, std::move(merged).error())};
  return std::move(merged).value();
}

Expected<ProfileSelection, Error> load_profile(const ScannerOptions& options) {
  if (options.score_profile_file) {
    auto loaded = ScoreProfile::load(*options.score_profile_file);
    if (!loaded) {
      std::string message =
          "score profile '" + *options.score_profile_file + "': " + loaded.error();
      return Unexpected{Error{ErrorCode::kScoreProfileUnusable, message, message}};
    }
    ProfileSelection selection;
    selection.profile = std::make_unique<ScoreProfile>(std::move(loaded).value());
    return selection;
  }
  if (options.read_profile_environment)
    return vantrel_core::select_score_profile_from_environment();
  return ProfileSelection{};
}

// The learned detector's model the options ask for; none when it is off.
Expected<std::optional<vantrel_core::ClassifierModel>, Error> load_classifier(const ScannerOptions& options) {
  using vantrel_core::ClassifierModel;
  switch (options.classifier) {
    case ClassifierModelSource::kOff:
      return std::optional<ClassifierModel>();
    case ClassifierModelSource::kBuiltIn:
      return std::optional<ClassifierModel>(ClassifierModel::built_in());
    case ClassifierModelSource::kFile:
      break;
  }
  auto loaded = ClassifierModel::load(options.classifier_model_file);
  if (!loaded) {
    std::string terse = "'" + options.classifier_model_file + "': " + loaded.error();
    return Unexpected{Error{ErrorCode::kClassifierModelUnusable, "classifier model " + terse, terse}};
  }
  return std::optional<ClassifierModel>(std::move(loaded).value());
}

}  // namespace

Expected<Scanner, Error> Scanner::create(const ScannerOptions& options) {
  // The database first, then the profile: the order the command line has
  // always read them in.
  auto patterns = load_patterns(options);
  if (!patterns) return Unexpected{std::move(patterns).error()};
  auto profile = load_profile(options);
  if (!profile) return Unexpected{std::move(profile).error()};
  auto classifier = load_classifier(options);
  if (!classifier) return Unexpected{std::move(classifier).error()};
  const vantrel_core::ClassifierModel* model = classifier->has_value() ? &**classifier : nullptr;
  std::optional<WorkingDirectoryPatterns> cwd_patterns;
  if (const auto& file = patterns->working_directory_file())
    cwd_patterns = WorkingDirectoryPatterns{file->path, file->records};
  auto engine = vantrel_core::Scanner::with_pattern_skill_and_profile(
      options.gate, options.max_input_bytes,
      std::make_unique<PatternSkill>(std::move(patterns).value()), std::move(profile).value(), model);
  std::string version = engine.pattern_db_version().value_or("");
  std::shared_ptr<const vantrel_core::ClassifierSkill> stream_classifier;
  if (model != nullptr && model->for_mode(ScanMode::Output) != nullptr) {
    stream_classifier = std::make_shared<const vantrel_core::ClassifierSkill>(*model, ScanMode::Output);
  }
  return Scanner(std::make_unique<const Impl>(Impl{std::move(engine), options.stream, std::move(version),
                                                   std::move(stream_classifier), std::move(cwd_patterns)}));
}

Scanner::Scanner(std::unique_ptr<const Impl> impl) : impl_(std::move(impl)) {}
Scanner::Scanner(Scanner&&) noexcept = default;
Scanner& Scanner::operator=(Scanner&&) noexcept = default;
Scanner::~Scanner() = default;

ScanResult Scanner::scan(std::string_view text, ScanMode mode) const {
  switch (mode) {
    case ScanMode::Output:
      return impl_->engine.scan_output(text);
    case ScanMode::ToolCall:
      return impl_->engine.scan_tool_call(text);
    case ScanMode::Input:
      break;
  }
  return impl_->engine.scan(text);
}

Stream Scanner::stream() const {
  vantrel_core::StreamConfig config;
  config.pattern_db_version = impl_->engine.pattern_db_version();
  config.gate_config = impl_->engine.config();
  config.pattern_db_hash = impl_->engine.pattern_db_hash();
  const StreamOptions& o = impl_->stream_options;
  config.min_scan_bytes = o.min_scan_bytes;
  config.max_buffer_bytes = o.max_buffer_bytes;
  config.overlap_bytes = o.overlap_bytes;
  config.early_termination_log_odds = o.early_termination_log_odds;
  config.scan_on_sentence_end = o.scan_on_sentence_end;
  config.classifier = impl_->stream_classifier;
  auto impl = std::make_unique<Stream::Impl>();
  impl->scanner.emplace(vantrel_core::StreamScanner::with_config(std::move(config)));
  return Stream(std::move(impl));
}

const GateConfig& Scanner::config() const {
  return impl_->engine.config();
}
const StreamOptions& Scanner::stream_options() const {
  return impl_->stream_options;
}
std::size_t Scanner::max_input_bytes() const {
  return impl_->engine.max_input_bytes();
}
const std::optional<Scanner::WorkingDirectoryPatterns>& Scanner::working_directory_patterns()
    const {
  return impl_->working_directory_patterns;
}
const std::string& Scanner::pattern_db_version() const {
  return impl_->pattern_db_version;
}
std::uint64_t Scanner::pattern_db_hash() const {
  return impl_->engine.pattern_db_hash();
}
bool Scanner::has_score_profile() const {
  return impl_->engine.has_score_profile();
}
const std::optional<std::string>& Scanner::score_profile_warning() const {
  return impl_->engine.score_profile_warning();
}

Stream::Stream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Stream::Stream(Stream&&) noexcept = default;
Stream& Stream::operator=(Stream&&) noexcept = default;
Stream::~Stream() = default;

PushOutcome Stream::push(std::string_view piece) {
  if (finished()) return {};
  PushOutcome outcome = impl_->scanner->push(piece);
  impl_->terminated = impl_->scanner->terminated();
  return outcome;
}

std::optional<ScanResult> Stream::finish() {
  if (finished()) return std::nullopt;
  ScanResult result = std::move(*impl_->scanner).finish();
  impl_->scanner.reset();
  return result;
}

bool Stream::terminated() const {
  return impl_ && impl_->terminated;
}
bool Stream::finished() const {
  return !impl_ || !impl_->scanner;
}

}  // namespace vantrel
