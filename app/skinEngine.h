#pragma once
// The skin engine `SkinData1`: a skin file ("*.skn") is a Qt style sheet applied to the whole
// program (both windows, their dialogs and menus). While the engine is active it shows its
// skin file, or the built-in look when the name is empty or the file cannot be read or is not
// a usable style sheet; while inactive it shows the built-in look. Failures are silent: the
// look falls back, the name stays (it is what the settings keep). User-interface thread only.

#include <QString>

namespace una::app {

// The folder of the skins shipped with the program: programFolder when skins lie beside the
// program (its build folder, an unpacked copy), else share/ruzizavuvodideza/skins of the
// installation programFolder is the bin/ of, else programFolder.
QString shippedSkinFolder(const QString& programFolder);

class SkinEngine {
  public:
    // Relative skin file names are taken from programFolder, then from shippedSkinFolder.
    explicit SkinEngine(QString programFolder);
    SkinEngine(const SkinEngine&) = delete;
    SkinEngine& operator=(const SkinEngine&) = delete;

    // A new name is loaded at once when the engine is active.
    void setSkinFile(const QString& name);
    const QString& skinFile() const { return skinFile_; }

    void setActive(bool active);
    bool active() const { return active_; }

    // True while the skin file's sheet is in force; false for the built-in look.
    bool skinApplied() const { return applied_; }

  private:
    void reload();

    QString programFolder_;
    QString skinFile_;
    bool active_ = false;
    bool applied_ = false;
};

}  // namespace una::app
