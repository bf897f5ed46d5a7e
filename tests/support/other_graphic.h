// A graphic class that knows no other class: assigning between it and the
// image objects must be refused.
#pragma once

#include "imaging/graphic.h"

class TOther : public TGraphic {
public:
    static TGraphicClass StaticClass() {
        static const TGraphicClassInfo info{"TOther", TGraphic::StaticClass(), nullptr};
        return &info;
    }
    TGraphicClass ClassType() const override { return StaticClass(); }
    bool Empty() const override { return true; }
    int Width() const override { return 0; }
    int Height() const override { return 0; }
    void SetWidth(int) override {}
    void SetHeight(int) override {}
    void Draw(TCanvas&, const TRect&) override {}
    void ReadFromStream(TStream&) override {}
    void WriteToStream(TStream&) override {}
};
