#include "addressbook/AddressTree.h"

#include <algorithm>

namespace {

std::size_t CountSubtree(const TAddressNode* node) {
    std::size_t n = 1;
    for (int i = 0; i < node->childCount(); ++i) n += CountSubtree(node->child(i));
    return n;
}

}  // namespace

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
    if (observer_) observer_->beginInsert(parent, row);
    auto node = std::make_unique<TAddressNode>(std::move(caption), kind);
    node->parent_ = owner;
    node->row_ = row;
    TAddressNode* raw = node.get();
    owner->children_.push_back(std::move(node));
    ++size_;
    if (observer_) observer_->endInsert();
    return raw;
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
