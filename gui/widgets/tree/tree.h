// GuiTreeView: a tree of expandable text nodes with icons, lines and selection.
//
// GuiTreeView: a hierarchy of text items with optional icons (GuiTreeNode) under one root node
// that the view owns, with connecting lines, expand/collapse boxes, selection by the pointer,
// scrolling, and signals to the parent (payload: the node): 8 selected, 10 opened, 11 closed,
// 12 button released over the selection. The nodes are a tree of their own, drawn by the view.
#pragma once

#include "gui/window/window.h"

class GuiTreeView;

constexpr uint8_t TYPE_TREE_VIEW = 159;
constexpr int TREE_INDENT = 14;

// Signals of the view.
enum : uint8_t { TREE_SIG_SELECTED = 8, TREE_SIG_OPENED = 10, TREE_SIG_CLOSED = 11, TREE_SIG_RELEASED = 12 };

class GuiTreeNode : public GuiTextThing {
  public:
    GuiTreeNode(const char* text, GuiBitmap* icon);

    // Appends the child at the end of the node's children.
    void Add(GuiThing* child, int draw = 1) override;
    // Links the node in before this one (after the last child when this is the first); nothing
    // for the root, which has no siblings.
    void Insert(GuiTreeNode* node);
    int NodeHeight();
    int NodeWidth();
    int BranchHeight();
    int BranchWidth(GuiTreeView* view);
    GuiTreeNode* NodeBottom();
    GuiTreeNode* NodeAbove();
    GuiTreeNode* NodeBelow();
    void MoveToTop(GuiThing* child) { MoveToFront(child, 1); }
    int Count();

    GuiTreeNode* Parent() const { return static_cast<GuiTreeNode*>(mpParent); }
    GuiTreeNode* First() const { return static_cast<GuiTreeNode*>(mpFirst); }
    GuiTreeNode* Next() const { return static_cast<GuiTreeNode*>(mpNext); }

    GuiBitmap* mpIcon;
    int32_t mOpen = 0;
    int32_t mMarked = 0;
};

class GuiTreeView : public GuiWindow {
  public:
    GuiTreeView(const GuiRect& rect, unsigned short style, const char* rootText, GuiBitmap* rootIcon);
    ~GuiTreeView() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void GetVScrollInfo(GuiScrollInfo* info) override;
    void GetHScrollInfo(GuiScrollInfo* info) override;
    virtual void ToggleBranch(GuiTreeNode* node);

    void Select(GuiTreeNode* node, int redraw);
    int CheckNodeClick(GuiPoint p, GuiTreeNode* first);
    void CalcNodePositions(GuiTreeNode* node, GuiPoint origin, int iconSpace);
    void DrawNode(GuiTreeNode* node, GuiPoint origin, int iconSpace);
    GuiTreeNode* FindNode(int level, const char* text);
    void Reset(const char* rootText);
    // Takes the node's branch out of the tree (not deleted); a selection inside it moves to its parent.
    GuiTreeNode* RemoveNode(GuiTreeNode* node);
    void DestroyNode(GuiTreeNode* node);

    GuiTreeNode* Root() const { return mpRoot; }
    GuiTreeNode* Selected();
    int Indent() const { return mIndent; }
    int VOffset() const { return mVOffset; }
    int HOffset() const { return mHOffset; }

  private:
    GuiTreeNode* mpRoot;
    GuiTreeNode* mpSelected = nullptr;
    int32_t mVOffset = 0;
    int32_t mHOffset = 0;
    int32_t mIndent = TREE_INDENT;

    void Origin(GuiPoint* origin, int* iconSpace);
    void Signal(uint8_t signal, GuiTreeNode* node);
    void ScrollIntoView(GuiTreeNode* node);
    void InvalidateClient();
};
