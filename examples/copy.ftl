oldLib.inv/. myLib.inv_x2/.
oldLib.nand2/. myLib.nand2_x2/.
