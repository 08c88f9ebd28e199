#include "cli/verify_app.h"

#include <chrono>
#include <utility>

#include "support/build_profile.h"
#include "support/exceptions.h"

namespace hv {

namespace {

constexpr char kVersion[] = "0.24";

}  // namespace

VerifyApp::VerifyApp() : VerifyApp(std::make_unique<Verify>()) {}

VerifyApp::VerifyApp(std::unique_ptr<Verify> engine)
    : verify_(std::move(engine)), tick_source_(&VerifyApp::SteadyTicks) {
  if (!verify_) throw Exception("The engine object could not be created.");
  verify_->SetOnStateChange([this](Verify&, VerifyState state, const StateChangeObject* info) {
    HandleStateChange(state, info);
  });
  verify_->SetOnProgress(
      [this](Verify&, int64_t position, int64_t max) { HandleProgress(position, max); });
}

VerifyApp::~VerifyApp() {
  // No control event may reach a half-destroyed object.
  Unregister();
  verify_.reset();
}

uint32_t VerifyApp::SteadyTicks() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count();
  // The wrap-around is harmless: intervals are taken modulo 2^32.
  return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

std::string VerifyApp::GetName() { return std::string(build_profile::kDisplayName); }

std::string VerifyApp::GetVersion() { return kVersion; }

void VerifyApp::Clear() {
  ConsoleApp::Clear();
  verify_->Clear();
  if (StdOutRedirected()) verify_->SetShowProgress(false);
  error_log_file_name_.clear();
}

int VerifyApp::DoExecute() {
  Clear();
  const int parse_result = ParseCommandLine();
  if (parse_result != 0) return parse_result;

  // A status line left open by a stopped or failed command is closed, so
  // that what follows starts on a line of its own.
  const auto close_open_line = [this] {
    try {
      EndProgressLine();
    } catch (const std::exception&) {
      // The output that failed is the one that would have said so.
    }
  };
  // Opened before the command can fail, so that its reader sees an end.
  KeepLogOpen(error_log_file_name_);
  int result = 0;
  try {
    control_event_.store(kNoControlEvent);
    displaying_progress_ = false;
    result = RunCommand();
  } catch (const EAbort&) {
    result = kResultAborted;
  } catch (...) {
    close_open_line();
    throw;
  }
  close_open_line();
  return result;
}

int VerifyApp::RunCommand() {
  switch (verify_->GetVerifyCommand()) {
    case vcBuild: return verify_->Build();
    case vcUpdate: return verify_->Update();
    case vcMatch: return verify_->Match();
    case vcDupes: return verify_->Dupes(false);
    case vcDupes1: return verify_->Dupes(true);
    case vcDefault:
    case vcVerify: break;
  }
  return verify_->Redure();
}

}  // namespace hv
