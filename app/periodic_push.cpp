#include "app/periodic_push.h"

#include <QTimer>

#include "opc/opc_server.h"

namespace qora {

TPeriodicPush::TPeriodicPush(const TConfigModel& model, QObject* parent)
    : QObject(parent), model_(model), pushTimer_(new QTimer(this)), itemCheckTimer_(new QTimer(this)) {
    pushTimer_->setObjectName(QStringLiteral("OPCTimer"));
    pushTimer_->setInterval(kPushIntervalMs);
    connect(pushTimer_, &QTimer::timeout, this, &TPeriodicPush::Push);
    itemCheckTimer_->setObjectName(QStringLiteral("ItemCheckTimer"));
    itemCheckTimer_->setInterval(kItemCheckIntervalMs);
    connect(itemCheckTimer_, &QTimer::timeout, this, &TPeriodicPush::CheckItems);
}

void TPeriodicPush::FollowPolling(bool polling) {
    // Every change of the records lies between "polling stopped" and "polling started": client
    // reads are answered from the toolkit's cache meanwhile instead of from records being changed.
    if (polling) {
        itemCheckTimer_->stop();
        if (server_) server_->EndModelEdit();
        pushTimer_->start();
    } else {
        pushTimer_->stop();
        if (server_) server_->BeginModelEdit();
        itemCheckTimer_->start();
    }
}

void TPeriodicPush::Push() {
    if (server_) server_->PushAll(model_);
    emit Pushed();
}

void TPeriodicPush::CheckItems() {
    if (server_) server_->CheckItems(model_);
}

}  // namespace qora
