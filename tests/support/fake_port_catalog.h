#ifndef FAKE_PORT_CATALOG_H
#define FAKE_PORT_CATALOG_H

#include "link/port_catalog.h"

// Ports the test plugs and unplugs by editing the list, pseudo-terminal paths among them.
class FakePortCatalog : public PortCatalog
{
public:
    QList<PortIdentity> ports() const override { return listed; }

    QList<PortIdentity> listed;
};

#endif // FAKE_PORT_CATALOG_H
