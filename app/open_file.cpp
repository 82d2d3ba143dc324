// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/open_file.h"

#include "hiding/runs.h"

bool CarriesPayload(const std::string& path) {
    QuietDialog port;  // nothing to show before the window is up
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
