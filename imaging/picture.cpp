#include "imaging/picture.h"

#include <algorithm>
#include <cctype>

#include "core/file_names.h"
#include "imaging/bitmap.h"

std::vector<TPictureFormat>& PictureFormats() {
    static std::vector<TPictureFormat> formats = {{"bmp", "Bitmaps", TBitmap::StaticClass()}};
    return formats;
}

namespace {
std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return char(std::tolower(ch)); });
    return text;
}
}  // namespace

void AddPictureFormat(const std::string& extension, const std::string& description,
                      TGraphicClass graphicClass) {
    PictureFormats().push_back({Lower(extension), description, graphicClass});
}

void RemoveGraphicClass(TGraphicClass graphicClass) {
    std::erase_if(PictureFormats(), [graphicClass](const TPictureFormat& format) {
        return format.Class->InheritsFrom(graphicClass);
    });
}

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::Attach(TGraphic* g) {
    g->OnChange = [this](TGraphic*) { Changed(); };
    g->OnProgress = OnProgress;
}

void TPicture::Changed() {
    if (OnChange) OnChange(this);
}

namespace {
// A new, empty object of the class; a class that cannot make one cannot be
// held by a picture.
std::unique_ptr<TGraphic> NewGraphic(TGraphicClass graphicClass) {
    if (!graphicClass->Create) throw EConvertError::CannotAssign(graphicClass->Name, "TPicture");
    return graphicClass->Create();
}
}  // namespace

void TPicture::SetGraphic(const TGraphic* g) {
    std::unique_ptr<TGraphic> copy;
    if (g) {
        copy = NewGraphic(g->ClassType());
        copy->Assign(g);
        Attach(copy.get());
    }
    FGraphic = std::move(copy);
    Changed();
}

void TPicture::LoadFromFile(const std::string& fileName) {
    const std::string extension = ExtensionOf(fileName);
    const std::string key = Lower(extension);
    const auto& formats = PictureFormats();
    const auto found = std::find_if(formats.rbegin(), formats.rend(),
                                    [&key](const TPictureFormat& f) { return f.Extension == key; });
    if (found == formats.rend())
        throw EInvalidGraphic("Unknown picture file extension (." + extension + ")");
    std::unique_ptr<TGraphic> graphic = NewGraphic(found->Class);
    graphic->OnProgress = OnProgress;
    graphic->LoadFromFile(fileName);  // on failure the new object goes, the old one stays
    FGraphic = std::move(graphic);
    Attach(FGraphic.get());
    Changed();
}
