#include "imaging/graphic.h"

TGraphicClass TGraphic::StaticClass() {
    static const TGraphicClassInfo info{"TGraphic", nullptr, nullptr};
    return &info;
}

void TGraphic::CopyInto(TGraphic* target) const {
    throw EConvertError::CannotAssign(ClassName(), target->ClassName());
}

void TGraphic::Assign(const TGraphic* source) {
    if (source == nullptr) throw EConvertError::CannotAssign("nil", ClassName());
    source->CopyInto(this);
}

bool TGraphic::Equals(const TGraphic* other) const { return other == this; }

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmOpenRead);
    ReadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmCreate);
    WriteToStream(stream);
}

void TGraphic::Changed() {
    Modified = true;
    if (OnChange) OnChange(this);
}

void TGraphic::Progress(TProgressStage stage, int percentDone) {
    if (OnProgress) OnProgress(this, stage, percentDone);
}
