// The address tree as a Qt item model; every index carries its node's pointer.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <functional>
#include <vector>

#include "addressbook/AddressTree.h"

class TAddressModel : public QAbstractItemModel, private TAddressTreeObserver {
    Q_OBJECT
public:
    explicit TAddressModel(TAddressTree& tree, QObject* parent = nullptr);
    ~TAddressModel() override;

    // Pictures by kind; a kind without one shows none.
    void setKindIcons(std::vector<QIcon> icons) { icons_ = std::move(icons); }
    // Decides whether a caption may be edited in place.
    void setEditable(std::function<bool(const TAddressNode*)> rule) { editable_ = std::move(rule); }

    TAddressNode* node(const QModelIndex& index) const;
    QModelIndex indexOf(const TAddressNode* node) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    void beginInsert(TAddressNode* parent, int first, int last) override;
    void endInsert() override;
    void beginRemove(TAddressNode* node) override;
    void endRemove() override;
    void beginReset() override;
    void endReset() override;
    void changed(TAddressNode* node) override;
    void beginReorder() override;
    void endReorder() override;

    TAddressTree& tree_;
    std::vector<QIcon> icons_;
    std::function<bool(const TAddressNode*)> editable_;
    QModelIndexList reorderedFrom_;
};
