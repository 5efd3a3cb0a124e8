#include "addressbook/AddressModel.h"

#include "platform/QtAnsi.h"

TAddressModel::TAddressModel(TAddressTree& tree, QObject* parent)
    : QAbstractItemModel(parent), tree_(tree) {
    tree_.setObserver(this);
}

TAddressModel::~TAddressModel() { tree_.setObserver(nullptr); }

TAddressNode* TAddressModel::node(const QModelIndex& index) const {
    return index.isValid() ? static_cast<TAddressNode*>(index.internalPointer()) : nullptr;
}

QModelIndex TAddressModel::indexOf(const TAddressNode* node) const {
    return node ? createIndex(node->row(), 0, const_cast<TAddressNode*>(node)) : QModelIndex();
}

QModelIndex TAddressModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0 || parent.column() > 0) return {};
    TAddressNode* p = node(parent);
    const int count = p ? p->childCount() : tree_.rootCount();
    if (row >= count) return {};
    return createIndex(row, 0, p ? p->child(row) : tree_.root(row));
}

QModelIndex TAddressModel::parent(const QModelIndex& child) const {
    TAddressNode* n = node(child);
    return n ? indexOf(n->parent()) : QModelIndex();
}

int TAddressModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    TAddressNode* p = node(parent);
    return p ? p->childCount() : tree_.rootCount();
}

int TAddressModel::columnCount(const QModelIndex&) const { return 1; }

QVariant TAddressModel::data(const QModelIndex& index, int role) const {
    TAddressNode* n = node(index);
    if (!n) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return platform::AnsiToQString(n->caption());
        case Qt::DecorationRole:
            if (n->kind() >= 0 && std::size_t(n->kind()) < icons_.size())
                return icons_[std::size_t(n->kind())];
            return {};
        default:
            return {};
    }
}

bool TAddressModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    TAddressNode* n = node(index);
    if (!n || role != Qt::EditRole) return false;
    tree_.setCaption(n, platform::QStringToAnsi(value.toString()));
    return true;
}

Qt::ItemFlags TAddressModel::flags(const QModelIndex& index) const {
    TAddressNode* n = node(index);
    if (!n) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (!editable_ || editable_(n)) f |= Qt::ItemIsEditable;
    return f;
}

void TAddressModel::beginInsert(TAddressNode* parent, int first, int last) {
    beginInsertRows(indexOf(parent), first, last);
}
void TAddressModel::endInsert() { endInsertRows(); }
void TAddressModel::beginRemove(TAddressNode* node) {
    beginRemoveRows(indexOf(node->parent()), node->row(), node->row());
}
void TAddressModel::endRemove() { endRemoveRows(); }
void TAddressModel::beginReset() { beginResetModel(); }
void TAddressModel::endReset() { endResetModel(); }
void TAddressModel::changed(TAddressNode* node) {
    const QModelIndex i = indexOf(node);
    emit dataChanged(i, i);
}

void TAddressModel::beginReorder() {
    emit layoutAboutToBeChanged();
    reorderedFrom_ = persistentIndexList();
}

void TAddressModel::endReorder() {
    // Indexes carry their node, so the nodes tell where each one went.
    QModelIndexList to;
    to.reserve(reorderedFrom_.size());
    for (const QModelIndex& from : reorderedFrom_) to.append(indexOf(node(from)));
    changePersistentIndexList(reorderedFrom_, to);
    reorderedFrom_.clear();
    emit layoutChanged();
}
