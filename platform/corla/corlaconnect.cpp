// The connect transaction: open the port, IDENTIFY, find the module's RUNE.
#include "corlaimpl.h"

namespace proto = corla::proto;

namespace corla::detail {

void EcuImpl::runConnect()
{
    CorlaEcuTxn *t = current_;
    CorlaPortFactory *f = t->table.portFactory ? t->table.portFactory(t->table.context) : nullptr;
    if (current_ != t)
        return;
    if (!isLive(f, CORLA_KIND_FACTORY)) {
        log(t, QStringLiteral("Connect failed: no port is selected. Choose the port the module is connected to."));
        finish(t, CORLA_STATUS_NO_PORT);
        return;
    }
    QString err;
    if (!openPort(f, &err)) {
        log(t, QStringLiteral("Cannot open port %1: %2.").arg(f->name, err));
        finish(t, CORLA_STATUS_PORT_OPEN);
        return;
    }
    log(t, QStringLiteral("Connecting on %1 at %2 baud...").arg(portName_, QString::number(settings_.baudRate)));
    request(proto::Identify, {}, [this, t](const proto::Frame &fr) {
        const std::optional<proto::Identity> id = proto::readIdentity(fr.payload);
        if (!id) {
            closePort(false);
            refused(proto::Identify, proto::replyResult(fr.payload));
            return;
        }
        identity = *id;
        log(t, QStringLiteral("The module answered: %1.").arg(describeModule(identity.module, identity.firmware)));
        bool haveHook = false;
        QString info;
        CorlaRune *r = callOpenHook(t->table.context, identity.module, identity.firmware, &haveHook);
        if (!haveHook)
            r = locateAndLoad(identity.module, identity.firmware, &info);
        if (current_ != t) {  // aborted from inside the hook
            if (r)
                remRef(r);
            return;
        }
        if (!r) {
            if (haveHook) {
                CorlaString where;
                CORLA_Setup_LocateRune(nullptr, identity.module, identity.firmware, &where);
                info = where.text;
            }
            log(t,
                QStringLiteral("No RUNE file is installed for this ECU (%1): %2.")
                    .arg(describeModule(identity.module, identity.firmware), info));
            closePort(true);
            finish(t, CORLA_STATUS_NO_RUNE);
            return;
        }
        setRune(r);
        remRef(r);  // the hook's reference was ours to drop
        connected = true;
        log(t, QStringLiteral("Connected to %1 %2 on %3.").arg(rune->name, rune->version, portName_));
        log(t, QStringLiteral("Connected"), CORLA_MSG_STATUS);
        notifyConnection(true);
        finish(t, CORLA_STATUS_OK);
    });
}

}  // namespace corla::detail
