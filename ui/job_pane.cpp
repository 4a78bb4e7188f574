#include "job_pane.hpp"

#include <wx/button.h>
#include <wx/clipbrd.h>
#include <wx/gauge.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>
#include <wx/textdlg.h>

#include <chrono>
#include <memory>

#include <algorithm>
#include <system_error>

#include "dialog/job_file.hpp"
#include "flash/pages.hpp"
#include "job/block_text.hpp"
#include "merge_dialog.hpp"
#include "manifest/report.hpp"
#include "wx_text.hpp"

namespace folvane::ui {

namespace {

// Datasheets keep a chip's bad blocks to a few per cent; the odds are summed over every
// count up to the one given. Chips number their blocks in 32 bits.
constexpr std::uint64_t kMaxBadBlocks = 0x100000;
constexpr std::uint64_t kMaxChipBlocks = std::uint64_t{1} << 32;

constexpr const char* kTextJobFilter = "Text job(*.toml)|*.toml|File(*.*)|*.*||";

struct ActionEntry {
  PaneAction action;
  const char* label;  ///< with its mnemonic
  const char* help;   ///< what a screen reader and the tooltip say it does
};

constexpr ActionEntry kActions[] = {
    {PaneAction::kBadBlocks, "&Bad blocks…", "Read the chip's bad-block list from a file"},
    {PaneAction::kChipOdds, "C&hip odds…", "Give the chip's bad blocks as a count: N bad blocks of B"},
    {PaneAction::kReport, "&Report…", "Save the HTML report of the last merge or of the set-up"},
    {PaneAction::kCopy, "Co&py checksums", "Copy the outputs' sizes, byte sums, CRC-32 and SHA-256"},
    {PaneAction::kVerify, "&Verify dump…", "Verify a chip's read-back against the data image"},
    {PaneAction::kCancel, "Cance&l verify", "Stop verifying the dump"},
    {PaneAction::kOpenJob, "&Open job…", "Open a text job into the window"},
    {PaneAction::kSaveJob, "&Save job…", "Save the window's job as a text job"},
};

std::string DigestLine(const char* what, const std::string& path, const manifest::DigestValue& d) {
  return std::string(what) + " " + path + ": " + std::to_string(d.bytes) + " bytes, byte sum " +
         (d.byteSum ? Hex(*d.byteSum) : std::string("-")) + ", CRC-32 " + manifest::Crc32Text(d.crc32) + ", SHA-256 " +
         d.sha256;
}

// A row as the operator knows it: its number, and its name where the job gave one.
std::string RowName(const FlashLayout& layout, int row) {
  const LayoutRow* r = layout.Row(row);
  return "FILE" + std::to_string(row) + (r && !r->name.empty() ? " (" + r->name + ")" : std::string());
}

// What a merge's checksums and result stand for: the block mode, the outputs and every
// ticked row as the layout has it (its image's size included). A set-up that differs
// from the merged one no longer has those checksums.
std::string SetUpKey(const FlashLayout& layout, int blockMode, const std::string& data, const std::string& table) {
  std::string key = std::to_string(blockMode) + '\n' + data + '\n' + table + '\n';
  for (const LayoutRow& r : layout.rows) {
    key += std::to_string(r.row) + ' ' + (r.accepted ? "+" : "-") + ' ' + std::to_string(r.startBlock) + ' ' +
           std::to_string(r.endBlock) + ' ' + std::to_string(r.imageBlocks) + ' ' +
           (r.imageBytes ? std::to_string(*r.imageBytes) : std::string("?")) + ' ' + r.ecc + ' ' + r.imagePath + '\n';
  }
  return key;
}

std::vector<TakenRange> TakenRanges(const FlashLayout& layout) {
  std::vector<TakenRange> taken;
  for (const LayoutRow& r : layout.rows) {
    if (r.accepted) taken.push_back({r.row, BlockRange{r.startBlock, r.endBlock, r.imageBlocks}});
  }
  return taken;
}

}  // namespace

JobPane::JobPane(wxWindow* parent, CMergeDlg& dialog)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE),
      dialog_(dialog) {
  auto* bar = new wxBoxSizer(wxHORIZONTAL);
  for (const ActionEntry& entry : kActions) {
    auto* button = new wxButton(this, wxID_ANY, wxString::FromUTF8(entry.label), wxDefaultPosition, wxDefaultSize,
                                wxBU_EXACTFIT);
    button->SetToolTip(wxString::FromUTF8(entry.help));
    button->SetHelpText(wxString::FromUTF8(entry.help));
    button->Bind(wxEVT_BUTTON, [this, a = entry.action](wxCommandEvent&) {
      switch (a) {
        case PaneAction::kBadBlocks: return OnBadBlocks();
        case PaneAction::kChipOdds: return OnChipOdds();
        case PaneAction::kReport: return OnReport();
        case PaneAction::kCopy: return OnCopy();
        case PaneAction::kVerify: return OnVerify();
        case PaneAction::kCancel: return OnCancel();
        case PaneAction::kOpenJob: return OnOpenJob();
        case PaneAction::kSaveJob: return OnSaveJob();
      }
    });
    bar->Add(button, 0, wxRIGHT, 2);
    actions_.push_back(button);
  }
  gauge_ = new wxGauge(this, wxID_ANY, 1000, wxDefaultPosition, wxSize(-1, 12));
  gauge_->SetName("Verify progress");
  bar->Add(gauge_, 1, wxALIGN_CENTER_VERTICAL | wxLEFT, 4);
  results_ = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                            wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP);
  results_->SetName("Results");
  auto* column = new wxBoxSizer(wxVERTICAL);
  column->Add(bar, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 2);
  column->Add(results_, 1, wxEXPAND | wxALL, 2);
  SetSizer(column);
  Action(PaneAction::kCopy)->Disable();
  Action(PaneAction::kCancel)->Disable();
  ShowResults();
}

JobPane::~JobPane() {
  cancel_ = true;
  if (worker_.joinable()) worker_.join();
}

int JobPane::Height(wxWindow* dialog) { return dialog->GetCharHeight() * 9 + 16; }

wxButton* JobPane::Action(PaneAction action) const { return actions_.at(static_cast<std::size_t>(action)); }

void JobPane::FocusFirst() {
  for (wxButton* b : actions_) {
    if (b->IsEnabled()) return b->SetFocus();
  }
}

void JobPane::Navigate(bool forward) {
  std::vector<wxWindow*> ring;
  for (wxButton* b : actions_) {
    if (b->IsEnabled()) ring.push_back(b);
  }
  ring.push_back(results_);
  const auto at = std::find(ring.begin(), ring.end(), wxWindow::FindFocus());
  const std::size_t i = at == ring.end() ? 0 : static_cast<std::size_t>(at - ring.begin());
  const std::size_t next = at == ring.end() ? 0 : (forward ? i + 1 : i + ring.size() - 1) % ring.size();
  ring[next]->SetFocus();
}

bool JobPane::PressMnemonic(int letter) {
  for (wxButton* b : actions_) {
    const wxString label = b->GetLabel();
    const int amp = label.Find('&');
    if (amp == wxNOT_FOUND || !b->IsEnabled() ||
        wxToupper(label[static_cast<std::size_t>(amp) + 1]) != wxToupper(static_cast<wxChar>(letter))) {
      continue;
    }
    b->SetFocus();
    wxCommandEvent pressed(wxEVT_BUTTON, b->GetId());
    pressed.SetEventObject(b);
    b->ProcessWindowEvent(pressed);
    return true;
  }
  return false;
}

// ---- what the pane shows ---------------------------------------------------------

std::string JobPane::ChecksumText() const {
  if (!digests_) return {};
  return DigestLine("Data File", digests_->dataPath, digests_->data) + "\n" +
         DigestLine("Table File", digests_->tablePath, digests_->table) + "\n";
}

void JobPane::ShowResults() {
  std::string text;
  text += digests_         ? ChecksumText()
          : digestsFailed_ ? std::string("Checksums: the merge completed, but its checksums could not be taken.\n")
                           : std::string("Checksums: after a merge that completes, until the set-up changes.\n");
  if (chipDescription_.empty()) {
    text += "Chip: none given (Bad blocks… reads a list, Chip odds… takes a count).\n";
  } else {
    text += "Chip: " + chipDescription_ + "\n";
    for (const std::string& line : marginLines_) text += line + "\n";
  }
  for (const std::string& line : verifyLines_) text += line + "\n";
  results_->ChangeValue(ToWx(text));
}

void JobPane::SetMergeDigests(std::optional<MergeDigests> digests, const MergeResult& result, bool digestsFailed) {
  digests_ = std::move(digests);
  digestsFailed_ = digestsFailed;
  lastMerge_.reset();
  mergedSetUp_.clear();
  // A merge rewrote the data image a verify compared the chip with.
  verifyLines_.clear();
  differing_.clear();
  if (digests_) lastMerge_ = result;
  if (digests_ || digestsFailed_) mergedSetUp_ = CurrentSetUpKey(dialog_.CurrentLayout());
  Action(PaneAction::kCopy)->Enable(digests_.has_value());
  ShowResults();
}

std::string JobPane::CurrentSetUpKey(const FlashLayout& layout) const {
  return SetUpKey(layout, dialog_.GetBlockModeSelection(), dialog_.GetDataPathText(), dialog_.GetTablePathText());
}

void JobPane::SetupChanged(const FlashLayout& layout) {
  // Checksums, a report and a verify of the last merge are of that merge's set-up
  // only: once a row, an output or the block mode changes, they are gone.
  if (digests_ && CurrentSetUpKey(layout) != mergedSetUp_) {
    digests_.reset();
    lastMerge_.reset();
    mergedSetUp_.clear();
    Action(PaneAction::kCopy)->Disable();
  }
  if (digestsFailed_ && CurrentSetUpKey(layout) != mergedSetUp_) digestsFailed_ = false;
  // A verify's results are of the rows it compared; a running one settles that itself.
  if (!Busy() && !verifyLines_.empty() && CurrentSetUpKey(layout) != verifiedSetUp_) {
    verifyLines_.clear();
    differing_.clear();
  }
  marginLines_.clear();
  if (!chipDescription_.empty()) {
    MarginOutcome outcome = ComputeMargins(TakenRanges(layout), chip_);
    if (!outcome.margins) {
      marginLines_.push_back(outcome.problem);
    } else {
      // What the operator looks for first, under the chip's line: the rows that run
      // out, and the job's chance; each row's figures follow.
      std::vector<std::string> rows = MarginLines(*outcome.margins);
      const std::size_t jobLines = !outcome.margins->maxBad ? 0 : outcome.margins->job ? 1 : 2;
      std::string out;
      for (const RowMargin& r : outcome.margins->rows) {
        if (r.placement && r.placement->Overflows()) out += (out.empty() ? "" : ", ") + RowName(layout, r.row);
      }
      if (chip_.badBlocks) {
        marginLines_.push_back(out.empty() ? "Every taken row fits on this chip."
                                           : "Runs out of good blocks on this chip: " + out + ".");
      }
      marginLines_.insert(marginLines_.end(), rows.end() - static_cast<std::ptrdiff_t>(jobLines), rows.end());
      marginLines_.insert(marginLines_.end(), rows.begin(), rows.end() - static_cast<std::ptrdiff_t>(jobLines));
    }
  }
  ShowResults();
}

// ---- the chip -------------------------------------------------------------------

void JobPane::SetChip(ChipModel chip, std::string description) {
  chip_ = std::move(chip);
  chipDescription_ = std::move(description);
  dialog_.UpdateMap();  // the map marks the bad blocks, and the margins follow
}

void JobPane::OnBadBlocks() {
  const auto path = dialog_.ChooseFile({ChooserKind::Open, "Bad-block list(*.txt)|*.txt|File(*.*)|*.*||", "txt"});
  if (!path) return;
  BadBlockFile list = ReadBadBlockFile(*path, chip_.chipBlocks);
  if (list.error) return dialog_.ShowMessage(list.error->Line(), MessageIcon::Error);
  if (!list.set) {
    return dialog_.ShowMessage(*path + (list.line == 0 ? " " : ", line " + std::to_string(list.line) + ": ") + list.problem,
                               MessageIcon::Warning);
  }
  ChipModel chip = chip_;
  const std::size_t count = list.set->size();
  chip.badBlocks = std::move(list.set);
  chipPath_ = *path;
  SetChip(std::move(chip), "bad-block list " + *path + ", " + std::to_string(count) + " bad blocks");
}

void JobPane::OnChipOdds() {
  wxTextEntryDialog ask(&dialog_, "The chip's bad blocks, as N of B (for example 40 of 0x1000):", dialog_.Caption());
  if (ask.ShowModal() == wxID_OK) SetChipCount(FromWx(ask.GetValue()));
}

void JobPane::SetChipCount(const std::string& text) {
  const auto of = text.find(" of ");
  const auto bad = of == std::string::npos ? std::nullopt : ParseCount(text.substr(0, of), kMaxBadBlocks);
  const auto blocks = of == std::string::npos ? std::nullopt : ParseCount(text.substr(of + 4), kMaxChipBlocks);
  std::string problem;
  if (!bad || !blocks) {
    problem = "'" + text + "' is not N of B: two numbers up to " + HexDec(kMaxBadBlocks) + " and " +
              HexDec(kMaxChipBlocks) + " (decimal, or hexadecimal with 0x)";
  } else if (*blocks == 0) {
    problem = "--chip-blocks cannot be 0";
  } else if (*bad >= *blocks) {
    problem = "--max-bad " + Hex(*bad) + " is not below --chip-blocks " + Hex(*blocks) + ": block 0 is always good";
  } else if (chip_.badBlocks && !chip_.badBlocks->empty() && chip_.badBlocks->Blocks().back() >= *blocks) {
    problem = "the bad-block list names block " + Hex(chip_.badBlocks->Blocks().back()) + ", past a chip of " + Hex(*blocks) +
              " blocks";
  }
  if (!problem.empty()) return dialog_.ShowMessage(problem, MessageIcon::Warning);
  ChipModel chip = chip_;
  chip.maxBad = bad;
  chip.chipBlocks = blocks;
  SetChip(std::move(chip), (chipDescription_.empty() || !chip_.badBlocks ? std::string() : chipDescription_ + "; ") +
                               std::to_string(*bad) + " bad blocks of " + Hex(*blocks));
}

// ---- the report and the checksums ---------------------------------------------

void JobPane::OnCopy() {
  if (!digests_ || !wxTheClipboard->Open()) return;
  wxTheClipboard->SetData(new wxTextDataObject(ToWx(ChecksumText())));
  wxTheClipboard->Flush();  // stays on the clipboard after the program ends
  wxTheClipboard->Close();
}

std::vector<std::string> JobPane::JobFiles(bool withJobFile) const {
  std::vector<std::string> files = {chipPath_, dialog_.GetDataPathText(), dialog_.GetTablePathText()};
  if (withJobFile) files.push_back(jobPath_);
  if (digests_) files.insert(files.end(), {digests_->dataPath, digests_->tablePath});
  for (int row = 1; row <= kRowCount; ++row) {
    if (dialog_.IsRowChecked(row)) files.push_back(dialog_.GetRowPathText(row));
  }
  return files;
}

void JobPane::OnReport() {
  const auto path = dialog_.ChooseFile({ChooserKind::Save, "HTML report(*.html)|*.html|File(*.*)|*.*||", "html"});
  if (!path) return;
  const std::string command = digests_ ? "merge" : "check";
  if (const auto clash = manifest::ReportClash(*path, JobFiles(true), command)) {
    return dialog_.ShowMessage(*clash, MessageIcon::Warning);
  }
  FlashLayout layout = dialog_.CurrentLayout();
  // The job file is named, with its digest, only while the window still holds what it
  // held: after an edit the report is of a set-up no file describes.
  const bool ofJobFile = !jobPath_.empty() && CurrentSetUpKey(layout) == jobSetUp_;
  manifest::ReportData report = manifest::CollectReport(
      digests_ ? command : manifest::kWindowSetUp,
      {ofJobFile ? jobPath_ : std::string(), dialog_.GetBlockModeSelection(), dialog_.Geometry(), digests_ ? digests_->dataPath : dialog_.GetDataPathText(),
       digests_ ? digests_->tablePath : dialog_.GetTablePathText(), std::move(layout)},
      lastMerge_ ? *lastMerge_ : MergeResult{});
  if (digests_) {
    report.merged = true;
    for (auto [out, d] : {std::pair{&report.data, &digests_->data}, std::pair{&report.table, &digests_->table}}) {
      out->bytes = d->bytes;
      out->sha256 = d->sha256;
      out->crc32 = d->crc32;
      out->byteSum = d->byteSum;
    }
  }
  std::string failure;
  std::vector<std::string> lines;
  auto file = manifest::OpenReportFile(*path, true, failure, lines);
  if (!file) {
    for (const std::string& line : lines) failure += "\n" + line;
    return dialog_.ShowMessage(failure, MessageIcon::Error);
  }
  Status written = manifest::WriteReportPage(*file, manifest::ReportHtml(report));
  if (written) written = file->Commit();
  if (!written) dialog_.ShowMessage(written.error().Line(), MessageIcon::Error);
}

// ---- verifying a dump ------------------------------------------------------------

std::optional<DumpCheck> JobPane::PrepareVerify(const std::string& dumpPath) {
  const FlashLayout layout = dialog_.CurrentLayout();
  std::string problem;
  auto codecs = MakeRowCodecs(dialog_.Job(), [this](int row) { return dialog_.IsRowChecked(row); },
                              dialog_.GetBlockModeSelection(), problem);
  if (!codecs) {
    dialog_.ShowMessage(problem, MessageIcon::Warning);
    return std::nullopt;
  }
  codecs_ = std::move(*codecs);
  DumpCheck check;
  check.dumpPath = dumpPath;
  check.dataPath = digests_ ? digests_->dataPath : dialog_.GetDataPathText();
  check.layout = PageLayoutOf(dialog_.GetBlockModeSelection());
  check.badBlocks = chip_.badBlocks;
  for (const TakenRange& t : TakenRanges(layout)) {
    const auto i = static_cast<std::size_t>(t.row - 1);
    const std::optional<PageCodec>& codec = codecs_.ecc[i] ? codecs_.ecc[i] : codecs_.raw[i];
    check.rows.push_back({t.row, t.range, codec ? &*codec : nullptr});
  }
  if (check.rows.empty()) {
    dialog_.ShowMessage("No ticked row is taken: there is nothing on the chip to compare.", MessageIcon::Warning);
    return std::nullopt;
  }
  // A list that names blocks the dumped chip does not have is of another chip. A dump
  // of the wrong size is left for the verify to name.
  const auto size = MeasureFile(dumpPath);
  const std::uint64_t blockBytes = check.layout.BlockBytes();
  if (size && *size % blockBytes == 0 && *size != 0 && check.badBlocks && !check.badBlocks->empty() &&
      check.badBlocks->Blocks().back() >= *size / blockBytes) {
    dialog_.ShowMessage(chipPath_ + ": block " + Hex(check.badBlocks->Blocks().back()) +
                            " is outside the chip, whose blocks are 0x0 to " + Hex(*size / blockBytes - 1),
                        MessageIcon::Warning);
    return std::nullopt;
  }
  return check;
}

void JobPane::OnVerify() {
  if (Busy()) return;
  const auto path = dialog_.ChooseFile({ChooserKind::Open, "Chip dump(*.bin)|*.bin|File(*.*)|*.*||", "bin"});
  if (!path) return;
  std::optional<DumpCheck> check = PrepareVerify(*path);
  if (!check) return;
  cancel_ = false;
  done_ = 0;
  total_ = 0;
  // Called on the verify's thread: the bar is brought up to date on the window's
  // thread a few dozen times a second.
  check->progress = [this, posted = std::chrono::steady_clock::time_point{}](std::uint64_t done,
                                                                             std::uint64_t total) mutable {
    done_ = done;
    total_ = total;
    if (const auto now = std::chrono::steady_clock::now(); now - posted >= std::chrono::milliseconds(40)) {
      posted = now;
      CallAfter([this] { ShowProgress(); });
    }
    return !cancel_.load();
  };
  // The dump is read on a thread of its own: a GiB takes seconds, and the window keeps
  // answering (Cancel among others) while it goes. The thread hands its result back
  // through the window's event queue.
  const std::string dataPath = check->dataPath;
  // Worked out before the thread starts: what follows its start is kept short, so
  // that a Cancel pressed at once lands in the dump's first pieces.
  const std::string setUp = CurrentSetUpKey(dialog_.CurrentLayout());
  try {
    worker_ = std::thread([this, c = std::move(*check)] {
      auto report = std::make_shared<Expected<DumpReport>>(VerifyDump(c));
      CallAfter([this, report] { Finish(std::move(*report)); });
    });
  } catch (const std::system_error& e) {
    return dialog_.ShowMessage(std::string("The verify cannot start: ") + e.what(), MessageIcon::Error);
  }
  dumpPath_ = *path;
  verifiedSetUp_ = setUp;
  verifyLines_ = {"Verifying " + *path + " against " + dataPath + "…"};
  differing_.clear();
  ShowResults();
  // What would change the job under the comparison waits for it.
  for (PaneAction a : {PaneAction::kVerify, PaneAction::kOpenJob, PaneAction::kBadBlocks, PaneAction::kChipOdds}) {
    Action(a)->Disable();
  }
  Action(PaneAction::kCancel)->Enable();
  gauge_->SetValue(0);
}

void JobPane::OnCancel() { cancel_ = true; }

void JobPane::ShowProgress() {
  const std::uint64_t total = total_;
  const std::uint64_t done = done_;
  if (worker_.joinable() && total != 0) gauge_->SetValue(static_cast<int>(std::min(done, total) * 1000 / total));
}

void JobPane::Finish(Expected<DumpReport> report) {
  worker_.join();
  gauge_->SetValue(0);
  Action(PaneAction::kCancel)->Disable();
  for (PaneAction a : {PaneAction::kVerify, PaneAction::kOpenJob, PaneAction::kBadBlocks, PaneAction::kChipOdds}) {
    Action(a)->Enable();
  }
  VerifyDone(std::move(report));
}

void JobPane::VerifyDone(Expected<DumpReport> report) {
  verifyLines_.clear();
  differing_.clear();
  if (!report) {
    ShowResults();
    return dialog_.ShowMessage(report.error().Line(), MessageIcon::Error);
  }
  if (report->cancelled) {
    verifyLines_ = {"Verify cancelled: nothing was compared to the end."};
  } else if (const std::string now = CurrentSetUpKey(dialog_.CurrentLayout()); now != verifiedSetUp_) {
    // The rows were edited while the dump was read: its results are of rows no longer
    // shown. This line stays until the next edit.
    verifyLines_ = {"The set-up changed while the dump was verified: verify again."};
    verifiedSetUp_ = now;
  } else if (!report->sizeProblem.empty()) {
    ShowResults();
    return dialog_.ShowMessage(dumpPath_ + " is no dump of this job's chip: " + report->sizeProblem, MessageIcon::Warning);
  } else {
    bool match = true;
    DumpCheck how;  // as the verify was made: the chip's list cannot change while it runs
    if (chip_.badBlocks) how.badBlocks.emplace();
    verifyLines_.push_back("Chip: " + HexDec(report->chipBlocks) + " blocks; bad blocks from " +
                           DumpBadBlockSource(how, *report));
    for (const DumpRow& r : report->rows) {
      verifyLines_.push_back(DumpRowText(r, 0));
      if (!r.Matches()) differing_.insert(r.row);
      match = match && r.Matches();
    }
    verifyLines_.push_back(match ? "The chip holds the job." : "The chip does not hold the job.");
  }
  ShowResults();
  dialog_.UpdateMap();
}

// ---- text jobs ---------------------------------------------------------------------

void JobPane::OnOpenJob() {
  const auto path = dialog_.ChooseFile({ChooserKind::Open, kTextJobFilter, "toml"});
  if (!path) return;
  auto head = ReadJobHead(*path);
  std::optional<Job> parsed;
  if (head && !ReadsAsPartFile(*path, *head)) {
    std::string problem;
    parsed = ReadTextJob(*path, *head, problem);
    if (!parsed) return dialog_.ShowMessage(problem, MessageIcon::Warning);
    MeasureJobImages(*parsed);
  }
  if (LoadJobInto(dialog_, *path, nullptr, dialog_.Job().programErasedPages, head ? &*head : nullptr) !=
      JobLoad::kLoaded) {
    return;
  }
  jobPath_ = *path;
  jobSetUp_ = CurrentSetUpKey(dialog_.CurrentLayout());
  dialog_.UpdateMap();
  // The dialog holds what IMPORT can; whatever it did not take as the job says is named.
  if (parsed) {
    const Job held = JobOfDialog(dialog_, dialog_.Job().programErasedPages);
    // Outputs the job does not name stay as the window had them.
    if (!parsed->tablePath) parsed->tablePath = held.tablePath;
    if (!parsed->dataPath) parsed->dataPath = held.dataPath;
    if (!(held == *parsed)) {
      dialog_.ShowMessage("The window cannot hold " + *path + " as it stands: what it shows differs from the file.",
                          MessageIcon::Warning);
    }
  }
}

void JobPane::OnSaveJob() {
  // A text job holds the rows from FILE1 up to the first unticked one, as EXPORT
  // saves them: a ticked row after a gap would be left out without a word.
  for (int row = 1, gap = 0; row <= kRowCount; ++row) {
    if (!dialog_.IsRowChecked(row)) {
      gap = gap ? gap : row;
    } else if (gap) {
      return dialog_.ShowMessage("FILE" + std::to_string(row) + " is ticked after FILE" + std::to_string(gap) +
                                     ", which is not: a job holds the rows from FILE1 up to the first unticked one.",
                                 MessageIcon::Warning);
    }
  }
  const auto path = dialog_.ChooseFile({ChooserKind::Save, kTextJobFilter, "toml"});
  if (!path) return;
  if (const auto clash = manifest::ReportClash(*path, JobFiles(false), "job")) {
    return dialog_.ShowMessage("Job File " + *path + " is also an input or output of the job.", MessageIcon::Warning);
  }
  std::string problem;
  const auto text = TextJobAt(JobOfDialog(dialog_, dialog_.Job().programErasedPages), *path, problem);
  if (!text) return dialog_.ShowMessage("No text job can hold this job: " + problem, MessageIcon::Warning);
  auto file = File::CreateReplacement(*path, true);
  Status written = file ? file->Write(std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()))
                        : Status(file.error());
  if (written) written = file->Commit();
  if (!written) return dialog_.ShowMessage(written.error().Line(), MessageIcon::Error);
  jobPath_ = *path;
  jobSetUp_ = CurrentSetUpKey(dialog_.CurrentLayout());
}

}  // namespace folvane::ui
