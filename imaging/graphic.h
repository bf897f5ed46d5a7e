// Base classes of the image objects: the reference-counted shared data
// record, the abstract graphic, and the class records by which the picture
// container makes graphics of a given kind.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/exceptions.h"
#include "core/streams.h"

class TBitmap;
class TGraphic;

// A rectangle in the coordinates of a drawing surface; Right and Bottom lie
// just outside it.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    bool operator==(const TRect&) const = default;
};

// The surface a graphic draws itself on; the windows supply one.
class TCanvas {
public:
    virtual ~TCanvas() = default;
    // Scales the bitmap's pixels into `rect` (a bitmap that is not empty).
    virtual void StretchDraw(const TRect& rect, const TBitmap& bitmap) = 0;
};

// Reference-counted data shared by several graphic objects, held through
// TSharedRef handles; the record is freed when the last handle lets it go.
// Handles on different threads may share a record (an encoder on a thread
// of its own reads the pixels a pane shows).
class TSharedImage {
public:
    TSharedImage() = default;
    TSharedImage(const TSharedImage&) = delete;
    TSharedImage& operator=(const TSharedImage&) = delete;
    virtual ~TSharedImage() = default;

    // The number of holders.
    int32_t RefCount() const { return FRefCount; }

private:
    template <class T>
    friend class TSharedRef;
    void Reference() { FRefCount.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (FRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    std::atomic<int32_t> FRefCount = 0;
};

// A holder of a shared record: copying the handle takes a reference,
// destroying or reassigning it releases one.
template <class T>
class TSharedRef {
public:
    TSharedRef() = default;
    explicit TSharedRef(std::unique_ptr<T> record) : FRecord(record.release()) {
        if (FRecord) FRecord->Reference();
    }
    TSharedRef(const TSharedRef& other) : FRecord(other.FRecord) {
        if (FRecord) FRecord->Reference();
    }
    TSharedRef(TSharedRef&& other) noexcept : FRecord(other.FRecord) { other.FRecord = nullptr; }
    TSharedRef& operator=(TSharedRef other) noexcept {
        std::swap(FRecord, other.FRecord);
        return *this;
    }
    ~TSharedRef() {
        if (FRecord) FRecord->Release();
    }

    T* get() const { return FRecord; }
    T& operator*() const { return *FRecord; }
    T* operator->() const { return FRecord; }
    explicit operator bool() const { return FRecord != nullptr; }

private:
    T* FRecord = nullptr;
};

// What a class record says about a graphic class: its name, its base (for
// "this class or one derived from it") and how to make a new, empty object.
struct TGraphicClassInfo {
    const char* Name;
    const TGraphicClassInfo* Parent;
    std::unique_ptr<TGraphic> (*Create)();

    bool InheritsFrom(const TGraphicClassInfo* other) const {
        for (const TGraphicClassInfo* c = this; c; c = c->Parent)
            if (c == other) return true;
        return false;
    }
};
using TGraphicClass = const TGraphicClassInfo*;

enum class TProgressStage { psStarting, psRunning, psEnding };

using TNotifyEvent = std::function<void(TGraphic* sender)>;
using TProgressEvent =
    std::function<void(TGraphic* sender, TProgressStage stage, int percentDone)>;

class TGraphic {
public:
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;
    virtual ~TGraphic() = default;

    static TGraphicClass StaticClass();
    virtual TGraphicClass ClassType() const = 0;
    const char* ClassName() const { return ClassType()->Name; }

    // Copies this graphic into `target` (used when `target` is assigned a
    // source of a class it does not know). The general rule raises
    // EConvertError "Cannot assign a <this class> to a <target class>".
    virtual void CopyInto(TGraphic* target) const;
    // Makes this graphic a copy of `source`. The general rule hands the work
    // to source->CopyInto(this); a null source raises EConvertError as well.
    virtual void Assign(const TGraphic* source);

    virtual bool Equals(const TGraphic* other) const;
    virtual bool Empty() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void SetWidth(int value) = 0;
    virtual void SetHeight(int value) = 0;

    // Stretches the graphic into `rect` on the canvas.
    virtual void Draw(TCanvas& canvas, const TRect& rect) = 0;

    virtual void LoadFromFile(const std::string& fileName);  // EFOpenError
    virtual void SaveToFile(const std::string& fileName);    // EFCreateError
    virtual void ReadFromStream(TStream& stream) = 0;
    virtual void WriteToStream(TStream& stream) = 0;

    TNotifyEvent OnChange;
    TProgressEvent OnProgress;
    bool Modified = false;
    bool PaletteModified = false;

protected:
    // Sets Modified and calls OnChange.
    virtual void Changed();
    void Progress(TProgressStage stage, int percentDone);
};
