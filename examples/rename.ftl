oldLib.inv/. newLib.inv_x1/.
oldLib.nand2/. newLib.nand2_x1/.
