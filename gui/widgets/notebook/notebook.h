// GuiNotebook: a tabbed window.
//
// A row of tabs (texts or client objects of their own) along the top or bottom edge selects which
// page client the page area shows; a spin button scrolls the row when the tabs do not all fit.
// Selecting a tab signals the parent (signal 8, payload: the tab).
#pragma once

#include "gui/window/window.h"

class GuiSpinButton;

constexpr uint8_t TYPE_NOTEBOOK = 158;

// Notebook style bits (with FF_THICK for a thick frame).
constexpr uint16_t NBS_TEXT_TABS = 0x0400;   // else client tabs
constexpr uint16_t NBS_TABS_ON_TOP = 0x0100; // else at the bottom

constexpr uint16_t NOTEBOOK_SPIN_ID = 1000;

class GuiNotebook : public GuiWindow {
  public:
    GuiNotebook(const GuiRect& rect, unsigned int style, unsigned char numTabs);
    ~GuiNotebook() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetFont(const GuiFont* font) override;
    void DrawFrame(int fill) override;

    void SetTabString(unsigned char tab, const char* text);
    void SetTabClient(unsigned char tab, GuiThing* client);
    GuiThing* GetTabClient(unsigned char tab);
    void SetPageClient(unsigned char tab, GuiThing* client);
    GuiThing* GetPageClient(unsigned char tab);
    GuiThing* RemovePageClient(unsigned char tab);
    void SelectTab(unsigned char tab);
    void ResetNumTabs(unsigned char n);
    // Converts the tab table to the kind the style asks for; the style itself stays.
    void ResetTabStyle(unsigned int style);

    void CalculateTabPositions();
    void DrawTabs(int selected);
    void AddCurrentPageClient(int redraw);
    int CheckTabClick(GuiPoint p);
    void RedrawTabs();

    bool TextTabs() const { return mTextTabs; }
    int CurrentTab() const { return mCurrentTab; }
    int NumTabs() const { return mNumTabs; }
    int VisibleTabs() const { return mVisibleTabs; }
    int FirstVisibleTab() const { return mFirstVisibleTab; }
    int TabWidth() const { return mTabWidth; }
    int TabHeight() const { return mTabHeight; }
    GuiSpinButton* Spin() const { return mpSpin; }
    const char* TabString(unsigned char tab) const {
        return mTextTabs && tab < mNumTabs ? mppTabTexts[tab] : nullptr;
    }

  private:
    char** mppTabTexts = nullptr;
    GuiThing** mppTabClients = nullptr;
    GuiThing** mppPageClients = nullptr;
    GuiSpinButton* mpSpin = nullptr;
    uint8_t mCurrentTab = 0;
    uint8_t mNumTabs = 0;
    uint8_t mVisibleTabs = 0;
    uint8_t mFirstVisibleTab = 0;
    int32_t mTabWidth = 0;
    int32_t mTabHeight = 0;
    bool mTextTabs; // the kind of the tab table, which ResetTabStyle changes without the style

    bool Top() const { return (mStyle & NBS_TABS_ON_TOP) != 0; }
    bool Thick() const { return (mStyle & FF_MASK) == FF_THICK; }
    void MakeTabTable(int n);
    void FreeTabClients(int from);
};
