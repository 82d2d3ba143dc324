#include "app/open_file.h"

#include "hiding/runs.h"

namespace {

// The probes' side of the dialog: nothing to show while the window is not
// up yet, and a file that cannot be read is simply not a carrier.
class SilentPort : public DialogPort {
  public:
    std::string BaseImagePath() override { return {}; }
    std::string DataFilePath() override { return {}; }
    std::string OutputImagePath() override { return {}; }
    int MethodIndex() override { return 0; }
    void SetStatus(const std::string&) override {}
    void SetProgressPosition(int) override {}
    void StepProgress() override {}
    void SetCapacityText(const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool AskYesNo(const std::string&) override { return false; }
    std::string AskOutputFile(const std::string& /*existing*/) override { return {}; }
    void Pause(unsigned) override {}
};

}  // namespace

bool CarriesPayload(const std::string& path) {
    SilentPort port;
    return DetectMethod(port, path) >= 0;
}

void OpenFileCommand(MainView& view, const std::string& path) {
    if (CarriesPayload(path)) {
        view.fields.inputFile = path;
        view.ShowFields();
        return;
    }
    view.fields.baseImage = path;
    view.ShowFields();
    view.ReportCapacity(path);
}
