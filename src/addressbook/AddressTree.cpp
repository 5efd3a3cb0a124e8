#include "addressbook/AddressTree.h"

#include <algorithm>

namespace {

// Without recursion: a hand-made file may nest as deep as it has lines.
std::size_t CountSubtree(const TAddressNode* node) {
    std::size_t n = 0;
    std::vector<const TAddressNode*> pending{node};
    while (!pending.empty()) {
        const TAddressNode* p = pending.back();
        pending.pop_back();
        ++n;
        for (int i = 0; i < p->childCount(); ++i) pending.push_back(p->child(i));
    }
    return n;
}

}  // namespace

TAddressNode::~TAddressNode() {
    // Subtrees go one node at a time, so depth costs no stack.
    std::vector<std::unique_ptr<TAddressNode>> pending = std::move(children_);
    while (!pending.empty()) {
        std::unique_ptr<TAddressNode> node = std::move(pending.back());
        pending.pop_back();
        for (auto& child : node->children_) pending.push_back(std::move(child));
        node->children_.clear();
    }
}

int TAddressNode::level() const {
    int level = 0;
    for (const TAddressNode* p = parent(); p; p = p->parent()) ++level;
    return level;
}

TAddressNode* TAddressNode::nextSibling() const {
    if (!parent_ || row_ + 1 >= parent_->childCount()) return nullptr;
    return parent_->child(row_ + 1);
}

TAddressNode* TAddressNode::next() const {
    if (!children_.empty()) return children_.front().get();
    for (const TAddressNode* n = this; n && n->parent_; n = n->parent_) {
        if (TAddressNode* s = n->nextSibling()) return s;
    }
    return nullptr;
}

TAddressTree::TAddressTree() : top_(std::string(), akGroup) {}

TAddressNode* TAddressTree::addRoot(std::string caption, TAddressKind kind) {
    return addChild(nullptr, std::move(caption), kind);
}

TAddressNode* TAddressTree::addChild(TAddressNode* parent, std::string caption, TAddressKind kind) {
    TAddressNode* owner = parent ? parent : &top_;
    const int row = owner->childCount();
    if (observer_) observer_->beginInsert(parent, row, row);
    auto node = std::make_unique<TAddressNode>(std::move(caption), kind);
    node->parent_ = owner;
    node->row_ = row;
    TAddressNode* raw = node.get();
    owner->children_.push_back(std::move(node));
    ++size_;
    if (observer_) observer_->endInsert();
    return raw;
}

void TAddressTree::adoptRoots(TAddressTree& other) {
    if (other.empty()) return;
    const int first = rootCount();
    if (observer_) observer_->beginInsert(nullptr, first, first + other.rootCount() - 1);
    for (auto& root : other.top_.children_) {
        root->parent_ = &top_;
        root->row_ = rootCount();
        top_.children_.push_back(std::move(root));
    }
    size_ += other.size_;
    other.top_.children_.clear();
    other.size_ = 0;
    if (observer_) observer_->endInsert();
}

void TAddressTree::remove(TAddressNode* node) {
    if (!node || !node->parent_) return;
    if (observer_) observer_->beginRemove(node);
    TAddressNode* owner = node->parent_;
    const int row = node->row_;
    size_ -= CountSubtree(node);
    owner->children_.erase(owner->children_.begin() + row);
    for (int i = row; i < owner->childCount(); ++i) owner->children_[std::size_t(i)]->row_ = i;
    if (observer_) observer_->endRemove();
}

void TAddressTree::clear() {
    if (observer_) observer_->beginReset();
    top_.children_.clear();
    size_ = 0;
    if (observer_) observer_->endReset();
}

void TAddressTree::setCaption(TAddressNode* node, std::string caption) {
    node->caption_ = std::move(caption);
    if (observer_) observer_->changed(node);
}

void TAddressTree::setKind(TAddressNode* node, TAddressKind kind) {
    node->kind_ = kind;
    if (observer_) observer_->changed(node);
}

namespace {

void SortChildren(std::vector<std::unique_ptr<TAddressNode>>& children,
                  const TAddressTree::TNodeLess& less) {
    if (children.size() > 1) {
        std::stable_sort(children.begin(), children.end(),
                         [&](const auto& a, const auto& b) { return less(a.get(), b.get()); });
    }
}

}  // namespace

void TAddressTree::sortBelowRoots(const TNodeLess& less) {
    if (observer_) observer_->beginReorder();
    // Depth first without recursion: a hand-made file may nest deeply.
    std::vector<TAddressNode*> pending;
    for (auto& root : top_.children_) pending.push_back(root.get());
    while (!pending.empty()) {
        TAddressNode* node = pending.back();
        pending.pop_back();
        SortChildren(node->children_, less);
        for (int i = 0; i < node->childCount(); ++i) {
            node->children_[std::size_t(i)]->row_ = i;
            pending.push_back(node->child(i));
        }
    }
    if (observer_) observer_->endReorder();
}
