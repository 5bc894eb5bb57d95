#include "CTreeModel.h"

void CTreeModel::setIs_stable_diffusion_not_work(bool value)
{
    m_is_stable_diffusion_not_work = value;
}
