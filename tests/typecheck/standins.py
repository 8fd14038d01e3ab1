"""The stand-ins of orvane_master.testing, each where the protocol it plays is expected."""
from typing import List

from orvane_master.business_layer.packages import handlers
from orvane_master.interfaces import (AddinConnection, ConnectionManager, PackageManager, SendHandler,
                                      WorkbookInstallFunction)
from orvane_master.python_server.orvane.proxylink import messaging
from orvane_master.testing.addin import SimulatedAddin
from orvane_master.testing.business_layer import (AddinPeer, BusinessLayer, ConnectionManager as Connections,
                                                  KernelPeer, PackageManager as Packages, Peer,
                                                  make_workbook_installer)
from orvane_master.testing.kernel import SimulatedKernel

kernel = SimulatedKernel(SimulatedAddin())
send_handler: SendHandler = kernel.send
messaging.set_send_handler(kernel.send)

manager: ConnectionManager = Connections()
package_manager: PackageManager = Packages("target")
install: WorkbookInstallFunction = make_workbook_installer(Connections(), Packages("target"))
connections: List[AddinConnection] = [Peer("addin", "book"), AddinPeer("book"), KernelPeer("book")]
handlers.init_handlers(manager, package_manager, install)

layer = BusinessLayer(handlers, Packages("target"))
handlers.init_handlers(layer.manager, layer.package_manager, layer.install_workbook)
