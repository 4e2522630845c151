// Toolkit core: GuiThing and the object tree, messages, timers, the screen and the records.
//
// GuiThing: the root class of every object of the GUI toolkit's object tree.
#pragma once

#include <cstdint>

#include "gui/core/message.h"
#include "gui/core/types.h"

class GuiScreen;
class GuiPresenter;
struct GuiViewportList;

// Status bits.
constexpr uint16_t PSF_VISIBLE = 0x0001;
constexpr uint16_t PSF_CURRENT = 0x0002;    // has the input focus (or a descendant has)
constexpr uint16_t PSF_SELECTABLE = 0x0004; // takes pointer input
constexpr uint16_t PSF_SIZEABLE = 0x0008;
constexpr uint16_t PSF_MOVEABLE = 0x0010;
constexpr uint16_t PSF_NONCLIENT = 0x0020;
constexpr uint16_t PSF_ACCEPTS_FOCUS = 0x0040;
constexpr uint16_t PSF_KEEPS_FOCUS = 0x0080;
constexpr uint16_t PSF_LAST_FOCUS = 0x0100;
constexpr uint16_t PSF_CONTINUOUS_SCROLL = 0x0200;
constexpr uint16_t PSF_WINDOW = 0x0400;
constexpr uint16_t PSF_CAPTURED = 0x0800;
constexpr uint16_t PSF_ALWAYS_ON_TOP = 0x4000;
constexpr uint16_t PSF_VIEWPORT = 0x8000;

// Frame styles (mStyle & FF_MASK).
constexpr uint16_t FF_MASK = 0x001F;
constexpr uint16_t FF_NONE = 0x0001;
constexpr uint16_t FF_THIN = 0x0002;
constexpr uint16_t FF_RAISED = 0x0004;
constexpr uint16_t FF_RECESSED = 0x0008;
constexpr uint16_t FF_THICK = 0x0010;

// Class type numbers.
enum : uint8_t {
    TYPE_THING = 1,
    TYPE_TITLE = 2,
    TYPE_HSCROLL = 6,
    TYPE_VSCROLL = 7,
    TYPE_ICON = 8,
    TYPE_TEXT_BUTTON = 11,
    TYPE_BITMAP_BUTTON = 12,
    TYPE_PROMPT = 17,
    TYPE_VPROMPT = 18,
    TYPE_WINDOW = 150,
};

class GuiThing {
  public:
    GuiThing(const GuiRect& rect, uint16_t id = 0, uint16_t style = FF_NONE);
    explicit GuiThing(uint16_t id = 0, uint16_t style = FF_NONE);
    virtual ~GuiThing();
    GuiThing(const GuiThing&) = delete;
    GuiThing& operator=(const GuiThing&) = delete;

    virtual int Message(const GuiMessage& msg);
    virtual void Draw();
    virtual void Add(GuiThing* child, int draw = 1);
    virtual void AddToEnd(GuiThing* child, int draw = 1);
    virtual void MoveToFront(GuiThing* child, int draw = 1);
    virtual GuiThing* Remove(GuiThing* child, int draw = 1);
    virtual void SetColor(uint8_t index, uint32_t colour);
    virtual uint32_t GetColor(uint8_t index);
    virtual void Center(GuiThing* who);
    virtual void DrawChildren();
    virtual void Resize(GuiRect rect);
    virtual GuiThing* Find(uint16_t id, int recursive = 1);
    virtual void AddStatus(uint16_t s) { mStatus |= s; }
    virtual void RemoveStatus(uint16_t s) { mStatus &= static_cast<uint16_t>(~s); }
    virtual uint16_t Style() { return mStyle; }
    virtual void Style(uint16_t s) { mStyle = s; }
    virtual void InitClient();
    virtual GuiPoint CenterOf(GuiThing* who);
    // Posts signal `signal` to the parent. Returns 1 when posted.
    virtual int SendSignal(uint8_t signal);
    virtual void ParentShift(int dx, int dy);
    virtual void KillFocus(GuiThing* who);
    virtual void MoveFocusToFirstClientChild();

    void UpdateChildClipping();
    void Destroy(GuiThing* what);
    static const char* Version();
    void CapturePointer();
    void ReleasePointer();
    void StandardBorder(uint32_t fill);
    void MessageChildren(const GuiMessage& msg);

    // Accessors.
    GuiThing* Parent() const { return mpParent; }
    GuiThing* First() const { return mpFirst; }
    GuiThing* Next() const { return mpNext; }
    GuiThing* Prev() const { return mpPrev; }
    uint16_t Id() const { return mId; }
    void Id(uint16_t id) { mId = id; }
    uint8_t Type() const { return mType; }
    uint16_t Status() const { return mStatus; }
    bool Visible() const { return (mStatus & PSF_VISIBLE) != 0; }
    // True when `anc` is this object or one of its ancestors.
    bool IsIn(const GuiThing* anc) const;
    void SetSignals(uint16_t mask) { mSignals = mask; }
    uint16_t Signals() const { return mSignals; }

    static GuiScreen* Screen() { return mpScreen; }
    static GuiPresenter* Presentation() { return mpPresentation; }
    static GuiMessageQueue* MessageQueue() { return mpMessageQueue; }

    uint32_t mColors[4] = {0, 0, 0, 0};
    GuiRect mReal;
    GuiRect mClient;
    GuiRect mClip;
    uint8_t mType = TYPE_THING;
    uint16_t mStyle = 0;
    uint16_t mId = 0;
    uint16_t mStatus = PSF_SELECTABLE | PSF_ACCEPTS_FOCUS;
    uint16_t mSignals = 0;
    GuiThing* mpParent = nullptr;
    GuiThing* mpFirst = nullptr;
    GuiThing* mpNext = nullptr;
    GuiThing* mpPrev = nullptr;
    GuiViewportList* mpViewports = nullptr;

    static GuiScreen* mpScreen;
    static GuiPresenter* mpPresentation; // the root; see presenter.h
    static GuiMessageQueue* mpMessageQueue;

  protected:
    // Takes the child out of the sibling list; no messages, no drawing.
    void Unlink(GuiThing* child);
    // The clip rectangle the child gets from this object.
    GuiRect ChildClip(const GuiThing* child) const;
    void Invalidate(const GuiRect& r);
};
