// The registry pass over the threat definition's fix lists.
#pragma once
class TrevaskDlg;

void RunRegistryPass(TrevaskDlg& dlg);
