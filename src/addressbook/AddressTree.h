// The address book: a tree of nodes with a caption (Windows-1251 bytes), a kind and ordered
// children. No widgets here; the view watches the tree through TAddressTreeObserver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using TAddressKind = std::int32_t;  // also the node's picture index; any value is kept
inline constexpr TAddressKind akGroup = 0;
inline constexpr TAddressKind akUser = 1;
inline constexpr TAddressKind akComputer = 2;
inline constexpr TAddressKind akWorkgroup = 3;

class TAddressNode {
public:
    TAddressNode(std::string caption, TAddressKind kind) : caption_(std::move(caption)), kind_(kind) {}
    ~TAddressNode();
    TAddressNode(const TAddressNode&) = delete;
    TAddressNode& operator=(const TAddressNode&) = delete;

    const std::string& caption() const { return caption_; }
    TAddressKind kind() const { return kind_; }
    // Null for a root node.
    TAddressNode* parent() const { return parent_ && parent_->parent_ ? parent_ : nullptr; }
    // Position among its siblings.
    int row() const { return row_; }
    // 0 for a root node.
    int level() const;
    int childCount() const { return static_cast<int>(children_.size()); }
    TAddressNode* child(int row) const { return children_[static_cast<std::size_t>(row)].get(); }
    TAddressNode* firstChild() const { return children_.empty() ? nullptr : children_.front().get(); }
    TAddressNode* nextSibling() const;
    // Tree order: the first child, else the next sibling of this node or of its nearest ancestor.
    TAddressNode* next() const;

private:
    friend class TAddressTree;
    std::string caption_;
    TAddressKind kind_;
    TAddressNode* parent_ = nullptr;  // the tree's hidden top node for roots
    int row_ = 0;
    std::vector<std::unique_ptr<TAddressNode>> children_;
};

class TAddressTreeObserver {
public:
    virtual ~TAddressTreeObserver() = default;
    // Rows first..last of parent (null: the root level) are about to appear.
    virtual void beginInsert(TAddressNode* parent, int first, int last) = 0;
    virtual void endInsert() = 0;
    virtual void beginRemove(TAddressNode* node) = 0;
    virtual void endRemove() = 0;
    virtual void beginReset() = 0;
    virtual void endReset() = 0;
    virtual void changed(TAddressNode* node) = 0;
    // The order of children changed somewhere in the tree; no node was added or removed.
    virtual void beginReorder() = 0;
    virtual void endReorder() = 0;
};

class TAddressTree {
public:
    TAddressTree();
    TAddressTree(const TAddressTree&) = delete;
    TAddressTree& operator=(const TAddressTree&) = delete;

    void setObserver(TAddressTreeObserver* observer) { observer_ = observer; }

    int rootCount() const { return top_.childCount(); }
    TAddressNode* root(int row) const { return top_.child(row); }
    TAddressNode* first() const { return top_.firstChild(); }
    bool empty() const { return top_.children_.empty(); }
    std::size_t size() const { return size_; }

    // Appends at the end of the root level.
    TAddressNode* addRoot(std::string caption, TAddressKind kind);
    // Appends as the last child of parent (null: the root level).
    TAddressNode* addChild(TAddressNode* parent, std::string caption, TAddressKind kind);
    // Moves every root of other, with its subtree, to the end of this tree's root level.
    void adoptRoots(TAddressTree& other);
    // Removes the node with its whole subtree.
    void remove(TAddressNode* node);
    void clear();
    void setCaption(TAddressNode* node, std::string caption);
    void setKind(TAddressNode* node, TAddressKind kind);

    // Less-than on two siblings.
    using TNodeLess = std::function<bool(const TAddressNode*, const TAddressNode*)>;
    // Sorts the children of every node, at every depth below the root level; the root level
    // keeps its order. Equal nodes keep theirs.
    void sortBelowRoots(const TNodeLess& less);

private:
    TAddressNode top_;
    std::size_t size_ = 0;
    TAddressTreeObserver* observer_ = nullptr;
};
