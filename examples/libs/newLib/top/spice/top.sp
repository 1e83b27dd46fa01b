* newLib.top:spice
.include "oldLib/nand2.sp"
.include "oldLib/inv.sp"
X1 a b n1 vdd vss nand2
X2 n1 y vdd vss inv
X3 y z vdd vss inv
* inv1 and nand21 are other names
.end
