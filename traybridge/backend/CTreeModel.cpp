#include "CTreeModel.h"

#include "DebugPrefix.h"

void CTreeModel::setIs_stable_diffusion_not_work(bool value)
{
    TB_TIMED;
    m_is_stable_diffusion_not_work = value;
}
