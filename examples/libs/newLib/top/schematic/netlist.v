// newLib.top:schematic
// Instances refer to oldLib cells; the names inverter, inv2, nand2b and
// oldLib_backup are other words and stay as they are.
module top (input a, input b, output y, output z);
  wire n1;
  nand2 u1 (.A(a), .B(b), .Y(n1));   // oldLib/nand2
  inv   u2 (.A(n1), .Y(y));          // oldLib/inv
  inv   u3 (.A(y), .Y(z));
  // inverter inv2 nand2b oldLib_backup
endmodule
