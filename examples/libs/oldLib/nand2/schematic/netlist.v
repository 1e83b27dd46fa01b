// oldLib.nand2:schematic
module nand2 (input A, input B, output Y);
  assign Y = ~(A & B);
endmodule
