#include "simnames.h"

#include "setupview.h"

namespace kelda {

SimNames simNames(StoreSession session)
{
    const SetupView view = SetupView::read(session);
    return {view.names(ItemType::KeypadKey), view.names(ItemType::Switch), view.names(ItemType::CanInput),
            view.names(ItemType::State),     view.names(ItemType::Timer),  view.names(ItemType::Lx1Output),
            view.names(ItemType::Lx2Led),    view.names(ItemType::Event),  view.names(ItemType::CanOutput)};
}

}  // namespace kelda
