// Inside the tree view: the font of its nodes, the colours of its lines and expander signs, and the
// room for the icons of a node's children.
#pragma once

#include "gui/widgets/tree/tree.h"

constexpr int TREE_NODE_FONT_SLOT = 15;
constexpr uint32_t TREE_LINES = GUI_FACE;
constexpr uint32_t TREE_SIGN = 0xBF0000;

// The widest icon among the node's children, + 2.
int GuiTreeChildIconSpace(const GuiTreeNode* node);
