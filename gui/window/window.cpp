#include "gui/window/window.h"
#include "gui/controls/icon/icon.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/window/window_private.h"

#include <new>
#include <optional>

namespace {

constexpr int BAR = GUI_SCROLL_SIZE;
constexpr unsigned AUTO_BITS = WSM_VERTICAL_AUTO | WSM_HORIZONTAL_AUTO;

// Pointer shape for a border part: 1 top/bottom, 2 left/right, 3 top-left/bottom-right,
// 4 bottom-left/top-right.
uint8_t shapeOf(int part) {
    switch (part) {
    case WBP_TOP:
    case WBP_BOTTOM:
        return 1;
    case WBP_LEFT:
    case WBP_RIGHT:
        return 2;
    case WBP_TOP_LEFT:
    case WBP_BOTTOM_RIGHT:
        return 3;
    case WBP_BOTTOM_LEFT:
    case WBP_TOP_RIGHT:
        return 4;
    default:
        return 0;
    }
}

void addTo(int16_t& edge, int d) {
    edge = static_cast<int16_t>(edge + d);
}

} // namespace

void GuiXorOutline(GuiScreen* s, const GuiRect& rect, const GuiRect& clip) {
    if (!s || rect.IsEmpty() || clip.IsEmpty()) return;
    // The dots keep the rectangle's phase wherever the clip cuts them.
    auto hline = [&](int y) {
        if (y < clip.top || y > clip.bottom) return;
        int xs = rect.left > clip.left ? rect.left : clip.left;
        const int xe = rect.right < clip.right ? rect.right : clip.right;
        xs += (xs - rect.left) & 1;
        if (xs <= xe) s->HorizontalLineXOR(xs, xe, y);
    };
    auto vline = [&](int x) {
        if (x < clip.left || x > clip.right || rect.bottom - rect.top < 2) return;
        int ys = rect.top + 1 > clip.top ? rect.top + 1 : clip.top;
        const int ye = rect.bottom - 1 < clip.bottom ? rect.bottom - 1 : clip.bottom;
        ys += (ys - rect.top) & 1;
        if (ys <= ye) s->VerticalLineXOR(ys, ye, x);
    };
    hline(rect.top);
    if (rect.bottom != rect.top) hline(rect.bottom);
    vline(rect.left);
    if (rect.right != rect.left) vline(rect.right);
}

bool GuiTreeHolds(const GuiThing* root, const GuiThing* thing) {
    if (!root || !thing) return false;
    if (root == thing) return true;
    for (const GuiThing* c = root->mpFirst; c; c = c->mpNext)
        if (GuiTreeHolds(c, thing)) return true;
    return false;
}

// ---- construction -----------------------------------------------------------------------------

GuiWindow::GuiWindow(const GuiRect& rect, unsigned int style)
    : GuiTextThing(rect, 0, static_cast<uint16_t>(style), nullptr, 0) {
    mColors[0] = GUI_WHITE;
    mType = TYPE_WINDOW;
    mStatus |= PSF_VIEWPORT | PSF_WINDOW;
    if ((style & FF_MASK) == FF_THICK) mStatus |= PSF_SIZEABLE | PSF_MOVEABLE;
    InitClient();
}

GuiWindow::GuiWindow(unsigned int style) : GuiWindow(GuiRect(0, 0, 20, 20), style) {}

GuiWindow::~GuiWindow() {
    GuiLock lock;
    for (ModalFrame* f = mpModal; f; f = f->outer)
        f->alive = false;
    mpModal = nullptr;
}

void GuiWindow::InitClient() {
    GuiThing::InitClient();
    if (mpVScroll) addTo(mClient.right, -BAR);
    if (mpHScroll) addTo(mClient.bottom, -BAR);
    if (!Visible()) return;
    if (mpVScroll) mpVScroll->Message(GuiMessage(GM_PARENT_SIZED, mpVScroll));
    if (mpHScroll) mpHScroll->Message(GuiMessage(GM_PARENT_SIZED, mpHScroll));
}

void GuiWindow::Add(GuiThing* child, int draw) {
    if (!child || mpFirst == child) return;
    const bool wasVisible = Visible(), childWasVisible = child->Visible();
    GuiTextThing::Add(child, draw);
    if (wasVisible && !childWasVisible && child->mpParent == this &&
        (mStatus & (PSF_VISIBLE | PSF_CURRENT)) == (PSF_VISIBLE | PSF_CURRENT) &&
        (child->mStatus & (PSF_ACCEPTS_FOCUS | PSF_NONCLIENT)) == PSF_ACCEPTS_FOCUS && mpPresentation)
        mpPresentation->MoveFocusTree(child);
}

void GuiWindow::SetWallpaper(GuiBitmap* bitmap, int mode) {
    mpWallpaper = bitmap;
    mWallpaperMode = mode;
}

GuiVScroll* GuiWindow::CreateVScroll() {
    return new (std::nothrow) GuiVScroll();
}
GuiHScroll* GuiWindow::CreateHScroll() {
    return new (std::nothrow) GuiHScroll();
}

void GuiWindow::AddIcon(GuiIcon* icon) {
    if (!icon) return;
    GuiLock lock;
    // Icons line up from the bottom-left corner of the client area, 10 pixels apart.
    int x = mClient.left + 10;
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        if (c != icon && c->mType == TYPE_ICON && c->mReal.right > x) x = c->mReal.right + 10;
    const int w = icon->mReal.Width(), h = icon->mReal.Height();
    const int y = mClient.bottom - h - 10;
    GuiMessage m(GM_RESIZE, icon);
    m.payload.rect = GuiRect(x, y, x + w, y + h);
    icon->Message(m);
    Add(icon, 1);
}

// ---- scroll information and bars ---------------------------------------------------------------

void GuiWindow::GetVScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    info->visible = mClient.Height();
    info->current = mClient.top;
    info->step = mClient.Height() / 10;
    bool any = false;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        if (c->mStatus & PSF_NONCLIENT) continue;
        if (!any || c->mReal.top < info->minimum) info->minimum = c->mReal.top;
        if (!any || c->mReal.bottom > info->maximum) info->maximum = c->mReal.bottom;
        any = true;
    }
    if (!any) {
        info->minimum = mClient.top;
        info->maximum = mClient.bottom;
    }
}

void GuiWindow::GetHScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    info->visible = mClient.Width();
    info->current = mClient.left;
    info->step = mClient.Width() / 10;
    bool any = false;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        if (c->mStatus & PSF_NONCLIENT) continue;
        if (!any || c->mReal.left < info->minimum) info->minimum = c->mReal.left;
        if (!any || c->mReal.right > info->maximum) info->maximum = c->mReal.right;
        any = true;
    }
    if (!any) {
        info->minimum = mClient.left;
        info->maximum = mClient.right;
    }
}

void GuiWindow::DropBar(GuiThing* bar) {
    if (mpMessageQueue) mpMessageQueue->Purge(bar, 0, 0);
    delete bar;
}

void GuiWindow::SetScrollMode(unsigned int mode) {
    mScrollMode = static_cast<uint8_t>(mode);
    if (mode & WSM_CONTINUOUS)
        mStatus |= PSF_CONTINUOUS_SCROLL;
    else
        mStatus &= static_cast<uint16_t>(~PSF_CONTINUOUS_SCROLL);
    const bool automatic = (mode & AUTO_BITS) && Visible();
    // A direction with an automatic bit is left to CheckAutoScroll on a visible window; the
    // fixed setting of the other direction still applies.
    const bool hFixed = !(automatic && (mode & WSM_HORIZONTAL_AUTO));
    const bool vFixed = !(automatic && (mode & WSM_VERTICAL_AUTO));
    if (hFixed) {
        if (!(mode & WSM_HORIZONTAL)) {
            if (GuiHScroll* b = mpHScroll) {
                mpHScroll = nullptr;
                Remove(b, 1);
                addTo(mClient.bottom, BAR);
                DropBar(b);
            }
        } else if (!mpHScroll) {
            if (GuiHScroll* b = CreateHScroll()) {
                addTo(mClient.bottom, -BAR);
                mpHScroll = b;
                // The bar stops short of the vertical bar that follows.
                const bool shorten = (mode & WSM_VERTICAL) && !mpVScroll;
                if (shorten) addTo(mClient.right, -BAR);
                Add(b, 1);
                if (shorten) addTo(mClient.right, BAR);
            }
        }
    }
    if (vFixed) {
        if (!(mode & WSM_VERTICAL)) {
            if (GuiVScroll* b = mpVScroll) {
                mpVScroll = nullptr;
                Remove(b, 1);
                addTo(mClient.right, BAR);
                DropBar(b);
            }
        } else if (!mpVScroll) {
            if (GuiVScroll* b = CreateVScroll()) {
                addTo(mClient.right, -BAR);
                mpVScroll = b;
                Add(b, 1);
            }
        }
    }
    if (automatic) CheckAutoScroll();
    if (!Visible() || !mpScreen) return;
    // The whole window, corner included: the automatic check adds its bars without drawing them.
    Invalidate(mReal);
    Draw();
}

int GuiWindow::CheckAutoScroll() {
    int changed = 0;
    // One bar may make the other necessary (or unnecessary); a few passes settle it.
    for (int pass = 0; pass < 4; ++pass) {
        bool any = false;
        if (mScrollMode & WSM_HORIZONTAL_AUTO) {
            GuiScrollInfo in;
            GetHScrollInfo(&in);
            if (static_cast<int64_t>(in.maximum) - in.minimum < in.visible) {
                if (GuiHScroll* b = mpHScroll) {
                    mpHScroll = nullptr;
                    addTo(mClient.bottom, BAR);
                    Remove(b, 0);
                    DropBar(b);
                    any = true;
                    if (mpVScroll && mpVScroll->Visible())
                        mpVScroll->Message(GuiMessage(GM_PARENT_SIZED, mpVScroll));
                    GuiMessage back(GM_HSCROLL, this, nullptr, in.current);
                    back.payload.l = in.minimum;
                    if (mpMessageQueue) mpMessageQueue->Push(&back);
                }
            } else if (!mpHScroll) {
                if (GuiHScroll* b = CreateHScroll()) {
                    addTo(mClient.bottom, -BAR);
                    mpHScroll = b;
                    Add(b, 0);
                    any = true;
                    if (mpVScroll && mpVScroll->Visible())
                        mpVScroll->Message(GuiMessage(GM_PARENT_SIZED, mpVScroll));
                }
            } else {
                mpHScroll->Reset(&in);
            }
        }
        if (mScrollMode & WSM_VERTICAL_AUTO) {
            GuiScrollInfo in;
            GetVScrollInfo(&in);
            if (static_cast<int64_t>(in.maximum) - in.minimum < in.visible) {
                if (GuiVScroll* b = mpVScroll) {
                    mpVScroll = nullptr;
                    addTo(mClient.right, BAR);
                    Remove(b, 0);
                    DropBar(b);
                    any = true;
                    if (mpHScroll && mpHScroll->Visible())
                        mpHScroll->Message(GuiMessage(GM_PARENT_SIZED, mpHScroll));
                    GuiMessage back(GM_VSCROLL, this, nullptr, in.current);
                    back.payload.l = in.minimum;
                    if (mpMessageQueue) mpMessageQueue->Push(&back);
                }
            } else if (!mpVScroll) {
                if (GuiVScroll* b = CreateVScroll()) {
                    addTo(mClient.right, -BAR);
                    mpVScroll = b;
                    Add(b, 0);
                    b->Reset(&in);
                    any = true;
                    if (mpHScroll && mpHScroll->Visible())
                        mpHScroll->Message(GuiMessage(GM_PARENT_SIZED, mpHScroll));
                }
            } else {
                mpVScroll->Reset(&in);
            }
        }
        if (!any) break;
        changed = 1;
    }
    return changed;
}

void GuiWindow::MoveClientObjects(int dx, int dy, int redraw) {
    if (!dx && !dy) return; // nothing moves; a pass over an empty strip would draw unclipped
    if (Visible()) Invalidate(mClient);
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        if (c->mStatus & PSF_NONCLIENT) continue;
        GuiRect r = c->mReal;
        r.Shift(dx, dy);
        c->Resize(r);
    }
    if (!redraw || !mpScreen) return;
    mpScreen->BeginDraw(this);
    const int moved = mpScreen->RectMove(this, mClient, mClient, dx, dy);
    mpScreen->EndDraw();
    if (!moved) {
        Invalidate(mClient);
        Draw();
        return;
    }
    // Only the strip the move uncovered is drawn again.
    const GuiRect c = mClient & mClip;
    GuiRect strip = c;
    if (dx == 0) {
        if (dy < 1)
            strip.top = static_cast<int16_t>(c.bottom + dy + 1);
        else
            strip.bottom = static_cast<int16_t>(c.top + dy - 1);
    } else {
        if (dx < 1)
            strip.left = static_cast<int16_t>(c.right + dx + 1);
        else
            strip.right = static_cast<int16_t>(c.left + dx - 1);
    }
    Invalidate(strip);
    Draw();
}

void GuiWindow::Resize(GuiRect rect) {
    GuiTextThing::Resize(rect);
    if ((mScrollMode & AUTO_BITS) && CheckAutoScroll()) {
        UpdateChildClipping();
        if (Visible() && mpScreen) {
            mpScreen->GenerateViewportList(this);
            Invalidate(mReal);
        }
    }
    for (GuiThing* c = mpFirst; c;) {
        GuiThing* next = c->mpNext;
        c->Message(GuiMessage(GM_PARENT_SIZED, c));
        c = next;
    }
}

// ---- drawing ------------------------------------------------------------------------------------

void GuiWindow::DrawFrame(int fill) {
    GuiScreen* s = mpScreen;
    if (!s) return;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    const int style = mStyle & FF_MASK;
    const uint8_t fillFlag = fill ? GUI_COLOR_FILL : 0;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s->Line(this, x1, y1, x2, y2, GuiColor(c, c), 1);
    };
    switch (style) {
    case FF_NONE:
        if (fill) s->Rectangle(this, mReal, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 0);
        break;
    case FF_THIN:
        s->Rectangle(this, mReal, GuiColor(GUI_BLACK, mColors[0], fillFlag), 1);
        break;
    case FF_THICK:
        s->Rectangle(this, mReal, GuiColor(GUI_FACE, mColors[0], fillFlag), 5);
        break;
    default:
        if (fill)
            s->Rectangle(this, mReal, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 0);
        else
            s->Rectangle(this, mReal, GuiColor(GUI_FACE, 0), 1);
        break;
    }
    if (style & (FF_RAISED | FF_THICK)) {
        line(L + 1, T + 1, L + 1, B, GUI_WHITE);
        line(L + 2, T + 1, R - 1, T + 1, GUI_WHITE);
        line(R - 1, T + 1, R - 1, B - 1, GUI_SHADOW);
        line(L + 1, B - 1, R - 1, B - 1, GUI_SHADOW);
        line(R, T, R, B, GUI_BLACK);
        line(L, B, R, B, GUI_BLACK);
    }
    if (style & FF_RECESSED) {
        line(L, B, R, B, GUI_WHITE);
        line(R, T, R, B, GUI_WHITE);
        line(L, T, R, T, GUI_SHADOW);
        line(L, T + 1, L, B, GUI_SHADOW);
        line(L + 1, T + 1, R - 2, T + 1, GUI_BLACK);
        line(L + 1, T + 1, L + 1, B - 1, GUI_BLACK);
        line(L + 1, B - 1, R - 1, B - 1, GUI_FACE);
        line(R - 1, T + 1, R - 1, B - 1, GUI_FACE);
    }
    if (style & FF_THICK) {
        const int cL = mClient.left, cT = mClient.top;
        line(R - 3, T + 4, R - 3, B - 3, GUI_WHITE);
        line(L + 4, B - 3, R - 3, B - 3, GUI_WHITE);
        line(L + 4, cT - 1, R - 5, cT - 1, GUI_SHADOW);
        line(cL - 1, cT, cL - 1, B - 4, GUI_SHADOW);
    }
}

void GuiWindow::FillScrollCorner() {
    if (!mpScreen || !mpVScroll || !mpHScroll) return;
    const GuiRect corner(mpHScroll->mReal.right + 1, mpVScroll->mReal.bottom + 1, mpVScroll->mReal.right,
                         mpHScroll->mReal.bottom);
    mpScreen->Rectangle(this, corner, GuiColor(GUI_FACE, GUI_FACE, GUI_COLOR_FILL), 0);
}

void GuiWindow::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    if (GuiBitmap* w = mpWallpaper) {
        const bool tile = mWallpaperMode != 0;
        DrawFrame(tile ? (w->flags & BMF_HAS_TRANS ? 1 : 0) : 1);
        const GuiRect saved = mClip;
        mClip &= mClient;
        if (tile && w->width && w->height) {
            // The tiles scroll with the content: their origin is moved back by the bars'
            // positions (taken modulo the tile, which gives the same tiling without overflow).
            GuiRect r = mClient;
            if (mpHScroll)
                addTo(r.left,
                      -static_cast<int>(((mpHScroll->mInfo.current % w->width) + w->width) % w->width));
            if (mpVScroll)
                addTo(r.top,
                      -static_cast<int>(((mpVScroll->mInfo.current % w->height) + w->height) % w->height));
            s->BitmapFill(this, r, w);
        } else if (!tile) {
            s->Bitmap(this,
                      GuiPoint((mClient.left + mClient.right) / 2 - w->width / 2,
                               (mClient.top + mClient.bottom) / 2 - w->height / 2),
                      w);
        }
        mClip = saved;
    } else {
        DrawFrame(1);
    }
    DrawChildren();
    if (mpVScroll && mpHScroll) FillScrollCorner();
    s->EndDraw();
}

// ---- pointer: sizing and moving ----------------------------------------------------------------

int GuiWindow::BorderContains(GuiPoint p) {
    if (!(mStatus & PSF_SIZEABLE)) return 0;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    const bool top = p.y >= T && p.y <= T + 5, bottom = p.y >= B - 5 && p.y <= B;
    if (p.x >= L && p.x <= L + 5) return top ? WBP_TOP_LEFT : bottom ? WBP_BOTTOM_LEFT : WBP_LEFT;
    int part = p.x >= R - 5 && p.x <= R ? WBP_RIGHT : 0;
    if (top) return part | WBP_TOP;
    if (bottom) return part | WBP_BOTTOM;
    return part;
}

void GuiWindow::CheckResizeRect(GuiRect& rect) {
    if (mMoveMode == WBP_MOVE) return;
    // A plain window keeps a client area at least 3 wide (right - left); others keep 80 pixels.
    const int shrinkX = mReal.Width() - rect.Width();
    const int limitX =
        mType == TYPE_WINDOW ? mClient.right - mClient.left - 3 : mReal.right - mReal.left - 79;
    if (shrinkX > limitX) {
        const int excess = shrinkX - limitX;
        if (mMoveMode & WBP_LEFT)
            addTo(rect.left, -excess);
        else
            addTo(rect.right, excess);
    }
    const int shrinkY = mReal.Height() - rect.Height();
    const int limitY = mClient.Height();
    if (shrinkY > limitY) {
        const int excess = shrinkY - limitY;
        if (mMoveMode & WBP_TOP)
            addTo(rect.top, -excess);
        else
            addTo(rect.bottom, excess);
    }
}

GuiRect GuiWindow::DragRect(GuiPoint last) {
    GuiRect r = mReal;
    const int dx = last.x - mDragStart.x, dy = last.y - mDragStart.y;
    if (mMoveMode == WBP_MOVE) {
        r.Shift(dx, dy);
        return r;
    }
    if (mMoveMode & WBP_TOP) addTo(r.top, dy);
    if (mMoveMode & WBP_BOTTOM) addTo(r.bottom, dy);
    if (mMoveMode & WBP_LEFT) addTo(r.left, dx);
    if (mMoveMode & WBP_RIGHT) addTo(r.right, dx);
    CheckResizeRect(r);
    return r;
}

void GuiWindow::DrawMoveFrame(int erase) {
    if (!mpScreen || (erase ? !mMoveFrame : mMoveFrame)) return;
    const GuiRect area = mpParent ? mpParent->mClient : mpScreen->ScreenRect();
    if (mDragLast.x < area.left) mDragLast.x = area.left;
    if (mDragLast.x > area.right) mDragLast.x = area.right;
    if (mDragLast.y < area.top) mDragLast.y = area.top;
    if (mDragLast.y > area.bottom) mDragLast.y = area.bottom;
    const GuiRect r = DragRect(mDragLast);
    const GuiRect clip = (mpParent ? mpParent->mClip & mpParent->mClient : area) & mpScreen->ScreenRect();
    mpScreen->BeginDraw(this);
    if (!mpScreen->DrawingToBitmap()) GuiXorOutline(mpScreen, r, clip);
    mpScreen->EndDraw();
    mMoveFrame = erase ? 0 : 1;
}

// ---- messages -----------------------------------------------------------------------------------

int GuiWindow::Message(const GuiMessage& msg) {
    // Signal 4 (clicked) of a child button with id 1000 or 1002 to 1008 closes the window.
    if (msg.type >= 128 && msg.type < GM_APP && ((msg.type - 128) & 15) == GSIG_CLICKED) {
        const int id = (msg.type - 128) >> 4;
        if (id == GUI_ID_CLOSE || (id >= GUI_ID_OK && id <= GUI_ID_RETRY)) {
            Destroy(this);
            return msg.data;
        }
    }
    using Handler = std::optional<int> (GuiWindow::*)(const GuiMessage&);
    static constexpr struct {
        uint16_t type;
        Handler run;
    } HANDLERS[] = {
        {GM_DESTROY_SELF, &GuiWindow::OnDestroySelf}, {GM_SHOW, &GuiWindow::OnShow},
        {GM_POINTER_MOVE, &GuiWindow::OnPointerMove}, {GM_LBUTTON_DOWN, &GuiWindow::OnLButtonDown},
        {GM_LBUTTON_UP, &GuiWindow::OnLButtonUp},     {GM_GAIN_FOCUS, &GuiWindow::OnGainFocus},
        {GM_POINTER_EXIT, &GuiWindow::OnPointerExit}, {GM_ADD_ICON, &GuiWindow::OnAddIcon},
        {GM_MOVE_SIZE, &GuiWindow::OnMoveSize},       {GM_VSCROLL, &GuiWindow::OnVScroll},
        {GM_HSCROLL, &GuiWindow::OnHScroll},          {GM_MAXIMIZE, &GuiWindow::OnMaximize},
        {GM_MINIMIZE, &GuiWindow::OnMinimize},        {GM_RESTORE, &GuiWindow::OnRestore},
    };
    for (const auto& h : HANDLERS)
        if (h.type == msg.type) {
            if (const std::optional<int> r = (this->*h.run)(msg)) return *r;
            break;
        }
    return GuiTextThing::Message(msg);
}

std::optional<int> GuiWindow::OnDestroySelf(const GuiMessage&) {
    Destroy(this);
    return GUI_ID_CLOSE;
}

std::optional<int> GuiWindow::OnShow(const GuiMessage& msg) {
    const int r = GuiTextThing::Message(msg);
    if (mScrollMode & AUTO_BITS) CheckAutoScroll();
    return r;
}

std::optional<int> GuiWindow::OnPointerMove(const GuiMessage& msg) {
    const GuiPoint p = msg.payload.point;
    if (mMoveMode) {
        if (p != mDragLast) {
            DrawMoveFrame(1);
            mDragLast = p;
            DrawMoveFrame(0);
        }
        return 0;
    }
    if ((mStatus & PSF_SIZEABLE) && !mMaximized) {
        const int part = BorderContains(p);
        if (part != mPointerSet) {
            mPointerSet = static_cast<uint8_t>(part);
            if (mpScreen) mpScreen->SetPointerType(shapeOf(part));
        }
        return 0;
    }
    return std::nullopt;
}

std::optional<int> GuiWindow::OnLButtonDown(const GuiMessage& msg) {
    const GuiPoint p = msg.payload.point;
    if (mMoveMode) return 0;
    if ((mStatus & PSF_SIZEABLE) && !mMaximized) {
        if (const int part = BorderContains(p)) {
            mMoveMode = static_cast<uint8_t>(part);
            mMoveFrame = 0;
            CapturePointer();
            mDragStart = mDragLast = p;
            return 0;
        }
    }
    return std::nullopt;
}

std::optional<int> GuiWindow::OnLButtonUp(const GuiMessage& msg) {
    const GuiPoint p = msg.payload.point;
    if (!mMoveMode) return std::nullopt;
    DrawMoveFrame(1);
    if (mpScreen) mpScreen->SetPointerType(0);
    mPointerSet = 0;
    ReleasePointer();
    if (!(mStatus & PSF_KEEPS_FOCUS)) MoveFocusToFirstClientChild();
    if (p != mDragStart && mpScreen) {
        const GuiRect next = DragRect(p);
        const GuiRect old = mReal;
        Invalidate(old);
        Invalidate(next);
        mpScreen->BeginDraw(this);
        GuiMessage r(GM_RESIZE, this);
        r.payload.rect = next;
        Message(r);
        if (next.Contains(old) || !mpParent)
            Draw();
        else
            mpParent->Draw();
        mpScreen->EndDraw();
    }
    mMoveMode = 0;
    return 0;
}

std::optional<int> GuiWindow::OnGainFocus(const GuiMessage& msg) {
    const int r = GuiTextThing::Message(msg);
    if (mpPresentation && mpPresentation->GetCurrentThing() == this && !(mStatus & PSF_KEEPS_FOCUS))
        MoveFocusToFirstClientChild();
    return r;
}

std::optional<int> GuiWindow::OnPointerExit(const GuiMessage&) {
    if (mPointerSet) {
        if (mpScreen) mpScreen->SetPointerType(0);
        mPointerSet = 0;
    }
    return 0;
}

std::optional<int> GuiWindow::OnAddIcon(const GuiMessage& msg) {
    AddIcon(static_cast<GuiIcon*>(msg.payload.ptr[0]));
    return 0;
}

std::optional<int> GuiWindow::OnMoveSize(const GuiMessage& msg) {
    if (!mMoveMode && (mStatus & PSF_MOVEABLE)) {
        mMoveMode = static_cast<uint8_t>(msg.data);
        mMoveFrame = 0;
        CapturePointer();
        mDragStart = mDragLast = msg.payload.point;
        if (mMoveMode == WBP_BOTTOM_RIGHT) {
            if (mpScreen) mpScreen->SetPointerType(3);
            mPointerSet = WBP_BOTTOM_RIGHT;
        }
    }
    return 0;
}

std::optional<int> GuiWindow::OnVScroll(const GuiMessage& msg) {
    MoveClientObjects(0, msg.data - msg.payload.l, 1);
    return 0;
}

std::optional<int> GuiWindow::OnHScroll(const GuiMessage& msg) {
    MoveClientObjects(msg.data - msg.payload.l, 0, 1);
    return 0;
}

std::optional<int> GuiWindow::OnMaximize(const GuiMessage&) {
    // Maximising twice would lose the rectangle to restore.
    if (!(mStatus & PSF_SIZEABLE) || mMaximized || !mpParent) return 0;
    mRestore = mReal;
    mMaximized = 1;
    GuiMessage r(GM_RESIZE, this);
    r.payload.rect = mpParent->mClient;
    Message(r);
    Draw();
    return 0;
}

std::optional<int> GuiWindow::OnMinimize(const GuiMessage&) {
    if (!(mStatus & PSF_SIZEABLE) || mModal || !mpParent || !mpMessageQueue) return 0;
    auto* icon = new (std::nothrow) GuiIcon(this, mpIcon, mId);
    if (!icon) return 0;
    if (mStatus & PSF_ALWAYS_ON_TOP) icon->mStatus |= PSF_ALWAYS_ON_TOP | PSF_VIEWPORT;
    GuiThing* parent = mpParent;
    GuiMessage m(GM_ADD_ICON, parent, this);
    m.payload.ptr[0] = icon;
    if (!mpMessageQueue->Push(&m)) {
        delete icon; // the window stays where it is
        return 0;
    }
    parent->Remove(this, 1);
    return 0;
}

std::optional<int> GuiWindow::OnRestore(const GuiMessage&) {
    if (!(mStatus & PSF_SIZEABLE) || !mMaximized) return 0;
    mMaximized = 0;
    GuiMessage r(GM_RESIZE, this);
    r.payload.rect = mRestore;
    Message(r);
    if (mpParent) mpParent->Draw();
    return 0;
}
