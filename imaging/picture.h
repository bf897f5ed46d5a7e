// The picture container behind an image pane: it owns at most one graphic,
// copies a graphic given to it, and loads files choosing the graphic class by
// the file's extension from the process-wide list of picture formats.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/graphic.h"

struct TPictureFormat {
    std::string Extension;  // lower case, without the dot
    std::string Description;
    TGraphicClass Class;
};

// The process-wide list of picture formats ("bmp" first).
std::vector<TPictureFormat>& PictureFormats();
void AddPictureFormat(const std::string& extension, const std::string& description,
                      TGraphicClass graphicClass);
// Removes every entry whose class is `graphicClass` or derives from it.
void RemoveGraphicClass(TGraphicClass graphicClass);

class TPicture {
public:
    TPicture();
    ~TPicture();
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    TGraphic* Graphic() const { return FGraphic.get(); }
    // Holds a new object of g's class assigned from g (null: holds none).
    void SetGraphic(const TGraphic* g);
    // Raises EInvalidGraphic "Unknown picture file extension (.<ext>)" for an
    // extension not in the list; on any failure the previous graphic stays.
    void LoadFromFile(const std::string& fileName);

    std::function<void(TPicture* sender)> OnChange;
    TProgressEvent OnProgress;

private:
    void Changed();
    void Attach(TGraphic* g);
    std::unique_ptr<TGraphic> FGraphic;
};
